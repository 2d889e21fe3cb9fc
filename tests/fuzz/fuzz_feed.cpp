// The real-time side over arbitrary bytes: chunks arrive through the socket
// into the receive loop (framing, unpacking, dispatcher, records, hand-off),
// and the same bytes, cut at line ends, go straight to the dispatcher.
#include "fuzz_client.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace qxd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    fuzz::Client f;
    FeedConnection& feed = f.c->feed;
    feed.LoggedOn = p.ConsumeBool() ? 1 : 0;
    feed.AddSymbol("PETR4");
    feed.AddSymbol("VALE3");
    const bool direct = p.ConsumeBool();
    while (p.remaining_bytes() > 0) {
        const std::string chunk = p.ConsumeBytesAsString(p.ConsumeIntegralInRange<size_t>(1, 6000));
        const QByteArray bytes(chunk.data(), qsizetype(chunk.size()));
        if (direct) {
            for (const QByteArray& line : bytes.split('\n')) feed.ProcessData(line);
        } else {
            f.sock->arrive(bytes);
        }
        CHECK(feed.extractor().buffered().size() <= MaxFrame + FeedConnection::DropChunk);
        CHECK(feed.SymbolList().size() <= 2);
    }
    return 0;
}
