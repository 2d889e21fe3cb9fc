// The feed session over arbitrary bytes: chunks arrive through the socket
// into the receive loop (framing, unpacking, dispatcher, records, hand-off),
// or the same bytes, cut at line ends, go straight to the dispatcher.
#include "check.h"
#include "support/session_rig.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace qxd;

namespace {
struct Counter : HandOffListener {
    std::uint64_t n = 0;
    void handOff(const HandOff&) override { ++n; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    SessionRig rig;
    Counter host;
    rig.handoff.bind(&host);
    FeedSession& feed = rig.feed;
    if (p.ConsumeBool()) feed.dispatch("#L");
    feed.addSymbol("PETR4");
    feed.addSymbol("VALE3");
    const bool direct = p.ConsumeBool();
    while (p.remaining_bytes() > 0) {
        const std::string chunk = p.ConsumeBytesAsString(p.ConsumeIntegralInRange<size_t>(1, 6000));
        const QByteArray bytes(chunk.data(), qsizetype(chunk.size()));
        if (direct) {
            for (const QByteArray& line : bytes.split('\n')) feed.dispatch(line);
        } else {
            rig.feedSocket.arrive(bytes);
        }
        CHECK(feed.extractor().buffered().size() <= MaxFrame + FeedSession::DropChunk);
        CHECK(feed.symbols().size() <= 2);
        rig.feedSocket.sent.clear(); // answers and acknowledgements
    }
    return 0;
}
