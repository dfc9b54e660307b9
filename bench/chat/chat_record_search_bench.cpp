// Time of a keyword search over a long chat history (80,000 records, about 3.4 MB by default), with
// a keyword every record holds and without one: chat_record_search_bench [records] [peers]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "ui/chat/chat_record_store.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 80000;
    const int peers = argc > 2 ? std::max(1, std::atoi(argv[2])) : 40;
    char tmpl[] = "/tmp/chatbenchXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    // Distinct records of about 43 bytes, spread over a month of days per peer.
    long long bytes = 0;
    for (int peer = 0; peer < peers; ++peer) {
        std::vector<std::string> days(30);
        for (int i = peer; i < records; i += peers) {
            char time[32];
            std::snprintf(time, sizeof time, "2007-03-%02d %02d:%02d", 1 + i % 30, i / 60 % 24, i % 60);
            days[i % 30] += ChatRecordFile::FormatRecord(time, 0, 0, "Ann", "Bob", "note " + std::to_string(i)) + '\0';
        }
        for (int d = 0; d < 30; ++d) {
            if (days[d].empty()) continue;
            char name[32];
            std::snprintf(name, sizeof name, "%d/2007-03-%02d-0.dat", 1000 + peer, 1 + d);
            const std::string path = plat::PathJoin(root, name);
            plat::MakeDirectories(plat::PathDirName(path));
            plat::WriteFileAtomic(path, days[d]);
            bytes += static_cast<long long>(days[d].size());
        }
    }
    ChatRecordFile store(root);
    for (const char* keyword : {"", "NOTE"}) {
        const auto start = std::chrono::steady_clock::now();
        const size_t listed = store.SearchAll(keyword).size();
        std::printf("%d records, %.1f MB, keyword \"%s\": %zu listed in %.3f s\n", records, bytes / 1e6, keyword, listed,
                    Seconds(start));
    }
    std::system(("rm -rf '" + root + "'").c_str());
    return 0;
}
