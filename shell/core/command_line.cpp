#include "command_line.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

namespace shell {
namespace {

// "[ADDR:]PORT": a dotted IPv4 address and a port 0..65535.
bool parse_remote_endpoint(std::string_view value, CommandLine &options) {
    size_t colon = value.rfind(':');
    std::string_view port_text = colon == std::string_view::npos ? value : value.substr(colon + 1);
    std::string address = colon == std::string_view::npos ? "" : std::string(value.substr(0, colon));
    int port = -1;
    auto [end, status] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (status != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) return false;
    in_addr parsed{};
    if (colon != std::string_view::npos && inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    options.remote_port = port;
    options.remote_address = std::move(address);
    return true;
}

}  // namespace

std::optional<CommandLine> parse_command_line(int argc, const char *const *argv, std::string &error) {
    CommandLine options;
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        std::string_view name = arg.substr(0, arg.find('='));
        if (name == "--help" && name == arg) {
            options.help = true;
            continue;
        }
        if (name == "--version" && name == arg) {
            options.version = true;
            continue;
        }
        if (name == "--headless" && name == arg) {
            options.headless = true;
            continue;
        }
        if (name == "--quiet" && name == arg) {
            options.quiet = true;
            continue;
        }
        if (name == "--heartbeat-present" && name == arg) {
            options.heartbeat_present = true;
            continue;
        }
        if (name == "--remote-open" && name == arg) {
            options.remote_open = true;
            continue;
        }
        std::string *text = name == "--app-dir"     ? &options.app_dir
                            : name == "--temp-dir"  ? &options.temp_dir
                            : name == "--local-dir" ? &options.local_dir
                            : name == "--script"    ? &options.script
                                                    : nullptr;
        if (!text && name != "--exit-after" && name != "--remote") {
            error = "unknown option " + std::string(arg);
            return std::nullopt;
        }
        std::string_view value;
        if (name != arg) {
            value = arg.substr(name.size() + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = std::string(name) + " needs a value";
            return std::nullopt;
        }
        if (text) {
            *text = value;
            continue;
        }
        if (name == "--remote") {
            if (!parse_remote_endpoint(value, options)) {
                error = "--remote needs [ADDR:]PORT with an IPv4 address and a port up to 65535, not " + std::string(value);
                return std::nullopt;
            }
            continue;
        }
        int ms = 0;
        auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), ms);
        if (status != std::errc() || end != value.data() + value.size() || ms < 0) {
            error = "--exit-after needs a number of milliseconds, not " + std::string(value);
            return std::nullopt;
        }
        options.exit_after_ms = ms;
    }
    return options;
}

}  // namespace shell
