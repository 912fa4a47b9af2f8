// How long a folder's message structures take to get: parsed from the files, as the first
// FETCH after delivery does, and then from the structure cache, as a freshly started server
// does. Prints a table; asserts nothing.
//
// The messages are generated, 2 to 20 KiB each: plain text, multipart/alternative, mixed with
// an attachment, and forwarded message/rfc822, in turn.

#include "store/message_text.h"
#include "store/structure_cache.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace brevin;

constexpr int kMessages = 10'000;
constexpr int kRounds = 3;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Die(const char* what) {
    std::perror(what);
    std::exit(1);
}

/// `bytes` of text in 72-character lines, some starting with "." to exercise the unstuffing.
std::string Filler(std::size_t bytes, unsigned seed) {
    std::string out;
    while (out.size() < bytes) {
        std::string line = seed % 17 == 0 ? "." : "";
        while (line.size() < 72) {
            line += static_cast<char>('a' + (seed = seed * 1103515245 + 12345) % 26);
            if (seed % 7 == 0) {
                line += ' ';
            }
        }
        out += line + "\r\n";
    }
    return out;
}

std::string Message(int n) {
    const unsigned seed = static_cast<unsigned>(n) * 2654435761u;
    const std::size_t size = 2048 + seed % (18 * 1024);
    std::string header = "From: \"Sender " + std::to_string(n) + "\" <s" + std::to_string(n) +
                         "@office.lan>\r\nTo: team@office.lan, =?utf-8?q?J=C3=B6rg?= "
                         "<joerg@office.lan>\r\nSubject: Report " +
                         std::to_string(n) +
                         "\r\nDate: Tue, 8 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" +
                         std::to_string(n) + "@office.lan>\r\nMIME-Version: 1.0\r\n";
    switch (n % 4) {
    case 0:
        return header + "Content-Type: text/plain; charset=utf-8\r\n\r\n" + Filler(size, seed);
    case 1:
        return header +
               "Content-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n--alt\r\n"
               "Content-Type: text/plain\r\n\r\n" +
               Filler(size / 3, seed) + "--alt\r\nContent-Type: text/html\r\n\r\n" +
               Filler(size * 2 / 3, seed + 1) + "--alt--\r\n";
    case 2:
        return header +
               "Content-Type: multipart/mixed; boundary=\"mix\"\r\n\r\n--mix\r\n"
               "Content-Type: text/plain\r\n\r\n" +
               Filler(size / 4, seed) +
               "--mix\r\nContent-Type: application/pdf; name=\"r.pdf\"\r\n"
               "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
               " filename*0*=utf-8''Gr%C3%BC; filename*1*=%C3%9Fe.pdf\r\n\r\n" +
               Filler(size * 3 / 4, seed + 2) + "--mix--\r\n";
    default:
        return header +
               "Content-Type: multipart/mixed; boundary=\"fw\"\r\n\r\n--fw\r\n\r\nSee "
               "below.\r\n--fw\r\nContent-Type: message/rfc822\r\n\r\nFrom: "
               "a@b.c\r\nSubject: original\r\nContent-Type: multipart/alternative; "
               "boundary=in\r\n\r\n--in\r\n\r\n" +
               Filler(size / 2, seed) + "--in\r\nContent-Type: text/html\r\n\r\n" +
               Filler(size / 2, seed + 3) + "--in--\r\n--fw--\r\n";
    }
}

} // namespace

int main() {
    char pattern[] = "/tmp/bench-structure-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        Die("mkdtemp");
    }
    const std::string folder = pattern;
    std::filesystem::create_directory(folder + "/.brevin");
    const std::string cachePath = folder + "/.brevin/structure";
    std::vector<std::string> names; // the cache's keys: file name and size
    std::vector<std::string> paths;
    std::uint64_t storedBytes = 0;
    for (int n = 0; n < kMessages; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "MSG%05d.bvn", n + 1);
        const std::string stored = StoredForm(Message(n));
        const std::string path = folder + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, stored.data(), stored.size()) != (ssize_t)stored.size()) {
            Die("write message");
        }
        ::close(fd);
        storedBytes += stored.size();
        names.push_back(std::string(name) + " " + std::to_string(stored.size()));
        paths.push_back(path);
    }

    // Rounds alternate the two passes, and the medians are shown, so that a burst of other
    // work on the machine sways neither.
    std::vector<double> colds;
    std::vector<double> warms;
    std::size_t parts = 0;
    std::size_t found = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::filesystem::remove(cachePath);
        // (a) Cold: every file read, converted, parsed, serialised and added.
        parts = 0;
        const auto coldStart = Clock::now();
        {
            StructureCache cache(cachePath);
            for (int n = 0; n < kMessages; ++n) {
                const auto structure = StructureOf(cache, names[n], paths[n]);
                parts += structure ? structure->body.children.size() : 0;
            }
        }
        colds.push_back(Seconds(Clock::now() - coldStart));
        // (b) Warm: a new cache object, as after a restart; the file is read again.
        found = 0;
        const auto warmStart = Clock::now();
        {
            StructureCache cache(cachePath);
            for (int n = 0; n < kMessages; ++n) {
                found += StructureOf(cache, names[n], paths[n]) ? 1 : 0;
            }
        }
        warms.push_back(Seconds(Clock::now() - warmStart));
    }
    const double cold = Median(colds);
    const double warm = Median(warms);
    const auto cacheBytes = std::filesystem::file_size(cachePath);

    std::printf("%d messages, %.1f MiB stored, %zu top-level parts; median of %d rounds\n",
                kMessages, storedBytes / 1048576.0, parts, kRounds);
    std::printf("%-44s %10s %12s\n", "pass", "seconds", "us/message");
    std::printf("%-44s %10.3f %12.2f\n", "(a) read + MessageText + parse + cache add", cold,
                cold * 1e6 / kMessages);
    std::printf("%-44s %10.3f %12.2f\n", "(b) StructureOf from a reopened cache", warm,
                warm * 1e6 / kMessages);
    std::printf("ratio (a)/(b): %.1fx   found in cache: %zu/%d\n", cold / warm, found, kMessages);
    std::printf("cache file: %llu bytes, %.0f bytes/message\n", (unsigned long long)cacheBytes,
                (double)cacheBytes / kMessages);
    std::filesystem::remove_all(folder);
    return 0;
}
