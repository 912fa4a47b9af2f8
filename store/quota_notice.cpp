#include "store/quota_notice.h"

#include "base/host_name.h"
#include "store/durable_file.h"
#include "store/message_files.h"
#include "store/message_text.h"
#include "store/store_layout.h"

#include <fstream>
#include <sys/stat.h>

namespace brevin {

namespace {

std::string Day(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &local);
    return day;
}

std::string MiB(std::uint64_t bytes) {
    return std::to_string((bytes + (1 << 19)) >> 20) + " MiB";
}

} // namespace

bool FileQuotaNotice(const std::string& inbox, std::uint64_t used, std::uint64_t quota,
                     MessageNumbers& numbers, std::time_t now) {
    if (quota == 0 || used < quota / 10 * 9) {
        return false;
    }
    const std::string day = Day(now);
    const std::string marker = layout::QuotaNoticePath(inbox);
    std::string last;
    if (std::ifstream in(marker); in && std::getline(in, last) && last == day) {
        return false;
    }
    char date[64];
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S %z", &local);
    const std::string& host = OfficialHostName();
    const std::string text =
        "From: Brevin <postmaster@" + host + ">\r\nSubject: Your mailbox is nearly full\r\n" +
        "Date: " + date + "\r\nMessage-ID: <quota." + day + "." + std::to_string(now) + "@" + host +
        ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
        "Your mailboxes hold " + MiB(used) + " of the " + MiB(quota) +
        " they may hold.\r\nWhen they are full, new mail for you is refused until you\r\n"
        "make room: delete messages you no longer need, and empty the Trash.\r\n";
    // The day is noted first: a notice lost to a crash is better than one every delivery.
    ::mkdir(layout::MetadataFolder(inbox).c_str(), 0700);
    if (!durable::ReplaceFile(marker, day, 0600, marker + ".tmp")) {
        return false;
    }
    return FileMessageText(inbox, StoredForm(text), numbers).has_value();
}

} // namespace brevin
