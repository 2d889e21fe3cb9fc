// qxd-wire: decodes a captured byte stream of the feed or historic
// connection (raw bytes, as a capture tool saves one direction of a TCP
// stream) into one line per message, unpacked, with the offsets of the
// frames that could not be cut.
//
// See Usage below.
#include "wire/decode.h"

#include <QFile>

#include <cstdio>
#include <cstring>

constexpr char Usage[] =
    "Usage: qxd-wire [--hist] [FILE]\n"
    "       qxd-wire --help | --version\n"
    "Decodes a captured byte stream of the feed connection (or, with --hist, of the\n"
    "historic one) from FILE, or standard input without FILE or with -, into one line\n"
    "per message: its offset, \"!\" where a frame could not be cut, and the message.\n"
    "\n"
    "Exit status: 0 every frame decoded, 1 the input cannot be read, 2 wrong usage,\n"
    "3 some frames could not be cut.\n";

int main(int argc, char** argv) {
    bool hist = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--hist")) {
            hist = true;
        } else if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(Usage, stdout);
            return 0;
        } else if (!std::strcmp(a, "--version")) {
            std::printf("qxd-wire %s\n", QXD_VERSION);
            return 0;
        } else if ((a[0] == '-' && a[1] != 0) || path) {
            std::fprintf(stderr, "qxd-wire: unexpected argument %s\n%s", a, Usage);
            return 2;
        } else {
            path = a;
        }
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
