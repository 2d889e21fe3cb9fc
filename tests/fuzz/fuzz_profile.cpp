// The settings reader and writer over arbitrary file contents: every read is
// bounded, a write changes its own key and no other, the text survives a
// parse, and the settings load step reads the file without failing.
#include "app/profile.h"
#include "app/settings.h"
#include "check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <utility>

using namespace qxd;

namespace {
QTemporaryDir* dir = nullptr;

struct Key {
    const char* section;
    const char* key;
};
constexpr Key probes[] = {
    {"QXDATA", "IP"},       {"QXDATA", "PORT"},      {"QXHIST", "IP"}, {"QXHIST", "PORT"},
    {"QXDATA", "UserName"}, {"QXDATA", "Reconnect"}, {"a", "b"},       {"", ""}};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!dir) {
        dir = new QTemporaryDir;
        // libFuzzer ends a run with exit(): the folder goes with it.
        std::atexit([] { delete std::exchange(dir, nullptr); });
    }
    FuzzedDataProvider p(data, size);
    const std::string section = p.ConsumeRandomLengthString(12);
    const std::string key = p.ConsumeRandomLengthString(12);
    const std::string value = p.ConsumeRandomLengthString(200);
    const std::string rest = p.ConsumeRemainingBytesAsString();
    const QByteArray content(rest.data(), qsizetype(rest.size()));

    const ProfileText before(content);
    CHECK(before.content() == content); // an untouched file is written back as it was
    for (const Key& k : probes) CHECK(before.read(k.section, k.key, "d").size() <= ProfileReadMax);

    // A plain key and value (the kind the client writes) read back as written.
    auto plain = [](const std::string& s) {
        if (s.empty()) return false;
        for (unsigned char ch : s)
            if (!std::isalnum(ch)) return false;
        return true;
    };
    if (plain(section) && plain(key)) {
        QByteArray v;
        for (unsigned char ch : value)
            if (std::isalnum(ch) || ch == '.') v.append(char(ch));
        ProfileText after = before;
        after.write(section.c_str(), key.c_str(), v);
        const ProfileText reread(after.content());
        CHECK(reread.read(section.c_str(), key.c_str(), "") == v.left(ProfileReadMax));
        for (const Key& k : probes) {
            if (qstricmp(k.section, section.c_str()) == 0 && qstricmp(k.key, key.c_str()) == 0)
                continue;
            CHECK(reread.read(k.section, k.key, "d") == before.read(k.section, k.key, "d"));
        }
    }

    const QString path = dir->path() + "/QXDATA.INI";
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(content);
        f.close();
        Controls c;
        LoadSettings(path, c);
    }
    return 0;
}
