// qxd-wire: decodes a captured byte stream of the feed or historic
// connection (raw bytes, as a capture tool saves one direction of a TCP
// stream) into one line per message, unpacked, with the offsets of the
// frames that could not be cut.
//
//   qxd-wire [--hist] [FILE]      (standard input without FILE or with -)
#include "wire/decode.h"

#include <QFile>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    bool hist = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--hist"))
            hist = true;
        else if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            std::printf("usage: qxd-wire [--hist] [FILE]\n"
                        "Decodes a captured feed (or, with --hist, historic) byte stream.\n");
            return 0;
        } else
            path = argv[i];
    }
    QFile f;
    bool open;
    if (!path || !std::strcmp(path, "-"))
        open = f.open(stdin, QIODevice::ReadOnly);
    else {
        f.setFileName(QString::fromLocal8Bit(path));
        open = f.open(QIODevice::ReadOnly);
    }
    if (!open) {
        std::fprintf(stderr, "qxd-wire: cannot read %s\n", path ? path : "standard input");
        return 1;
    }
    const QByteArray bytes = f.readAll();
    int bad = 0;
    for (const auto& d : qxd::wire::DecodeStream(bytes, hist)) {
        std::printf("%10lld %s %s\n", static_cast<long long>(d.offset), d.ok ? " " : "!",
                    d.text.constData());
        bad += !d.ok;
    }
    return bad ? 3 : 0;
}
