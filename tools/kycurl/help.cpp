#include "help.h"

#include <algorithm>
#include <cstring>

#include "option_table.h"

namespace kycurl {

namespace {

constexpr size_t kNameColumn = 33;
constexpr size_t kLineWidth = 80;

constexpr const char* kUsage =
    "Usage: kycurl [options...] <URL>...\n"
    "       kycurl --urlencode TEXT | --help [group] | --version\n";

constexpr const char* kOverview =
    "Sends each URL's request on one session of libKyLibCurl and writes each reply\n"
    "body to standard output as it arrives. Options curl has mean what they do there.\n";

// The groups and topics, wrapped at the line width.
std::string GroupList() {
    std::string words = "Groups:";
    for (const char* group : kOptionGroups) words += std::string(" ") + group;
    words += "; topics exit, write-out. '--help <group>': one; '--help all': all.";
    std::string text;
    size_t lineStart = 0;
    for (size_t start = 0; start < words.size();) {
        size_t end = std::min(words.find(' ', start), words.size());
        if (start > 0 && text.size() - lineStart + (end - start) + 1 > kLineWidth) {
            text += "\n";
            lineStart = text.size();
        } else if (start > 0) {
            text += " ";
        }
        text += words.substr(start, end - start);
        start = end + 1;
    }
    return text + "\n";
}

constexpr const char* kExitTopic =
    "Exit status (curl's):\n"
    "  0  success, whatever the HTTP status (unless -f)\n"
    "  1  unsupported protocol, or a failure without a closer status\n"
    "  2  usage error: unknown option, bad value, options that clash\n"
    "  3  malformed URL\n"
    "  5  proxy not resolved            6  host not resolved\n"
    "  7  connection failed (status 601), or no route to the --client\n"
    "  18 reply shorter than announced  22 -f and HTTP status 400 or above\n"
    "  23 writing the reply failed      26 reading a local file failed\n"
    "  28 time-out (status 602)         35 TLS handshake failed\n"
    "  47 too many redirects            52 empty reply\n"
    "  55 send failure                  56 receive failure (status 601)\n"
    "  60 server certificate not trusted or not for this host\n"
    "  77 CA file unreadable\n"
    "A failure is named on standard error: curl's message, then the HTTP status,\n"
    "601 (connection failed) or 602 (timed out).\n";

constexpr const char* kWriteOutTopic =
    "-w <format>: written to standard output after each URL's transfer; '@file'\n"
    "reads it from a file ('@-': stdin). \\n \\r \\t and %% are escapes.\n"
    "Variables, %{name}, as curl's:\n"
    "  certs content_type errormsg exitcode filename_effective ftp_entry_path\n"
    "  header_json http_code http_connect http_version json local_ip local_port\n"
    "  method num_certs num_connects num_headers num_redirects onerror\n"
    "  proxy_ssl_verify_result redirect_url referer remote_ip remote_port\n"
    "  response_code scheme size_download size_header size_request size_upload\n"
    "  speed_download speed_upload ssl_verify_result stderr stdout\n"
    "  time_appconnect time_connect time_namelookup time_pretransfer\n"
    "  time_redirect time_starttransfer time_total url url_effective urlnum\n"
    "  tunnel_url     the URL a routed request really went to (empty otherwise)\n"
    "%header{name} is a reply header's value. %{onerror} ends the text unless the\n"
    "transfer failed; %{stderr} and %{stdout} switch where the rest goes.\n"
    "Times are seconds with six decimals; sizes bytes; speed bytes per second.\n";

std::string OptionLine(const OptionSpec& entry) {
    std::string line = entry.shortName ? std::string(" -") + entry.shortName + ", " : std::string("     ");
    line += std::string("--") + entry.longName;
    if (entry.takesValue()) line += std::string(" ") + entry.valueName;
    line += line.size() < kNameColumn ? std::string(kNameColumn - line.size(), ' ') : std::string(" ");
    return line + entry.help + "\n";
}

std::string GroupOptions(const char* group) {
    std::string text;
    for (const OptionSpec* entry = OptionsBegin(); entry != OptionsEnd(); ++entry) {
        if (strcmp(entry->group, group) == 0) text += OptionLine(*entry);
    }
    return text;
}

std::string ImportantOptions() {
    std::string text;
    for (const OptionSpec* entry = OptionsBegin(); entry != OptionsEnd(); ++entry) {
        if (entry->important) text += OptionLine(*entry);
    }
    return text;
}

std::string AllTopics() {
    std::string text = std::string(kUsage) + "\n" + kOverview;
    for (const char* group : kOptionGroups) text += std::string("\n") + group + ":\n" + GroupOptions(group);
    return text + "\n" + kWriteOutTopic + "\n" + kExitTopic;
}

}  // namespace

bool IsHelpTopic(const std::string& topic) {
    if (topic == "all" || topic == "exit" || topic == "write-out") return true;
    for (const char* group : kOptionGroups) {
        if (topic == group) return true;
    }
    return false;
}

std::string HelpText(const std::string& topic) {
    if (topic.empty()) {
        return std::string(kUsage) + "\n" + kOverview + "\nMost used:\n" + ImportantOptions() + "\n" +
               GroupList();
    }
    if (topic == "all") return AllTopics();
    if (topic == "exit") return kExitTopic;
    if (topic == "write-out") return kWriteOutTopic;
    return std::string(kUsage) + "\n" + topic + ":\n" + GroupOptions(topic.c_str());
}

}  // namespace kycurl
