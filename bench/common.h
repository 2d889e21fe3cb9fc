// Helpers for the benchmarks: figures printed as "name: value unit".
#pragma once

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

inline void figure(const char* name, double value, const char* unit) {
    std::printf("%s: %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

// Resident memory of a process, from /proc (kB fields VmRSS / VmHWM).
inline double memMb(const char* field, const QString& pid = QStringLiteral("self")) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    return 0;
}

inline double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const std::size_t k = std::min(v.size() - 1, std::size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
    return v[k];
}

inline bool quick(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--quick") return true;
    return false;
}

} // namespace bench
