// template-tool: packs a folder of templates into a bundle and inspects
// bundles through the template library, so authors see exactly what the
// player will see.

#include "json.h"
#include "optpl.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum ExitStatus : int { kOk = 0, kFailed = 1, kUsage = 2 };

using Args = std::span<const std::string_view>;

int fail(const std::string &message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return kFailed;
}

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

// Loads a bundle file into the library, reporting the library's reason when it is refused.
bool load_bundle(std::string_view path) {
    if (optpl_load_bundle_file(std::string(path).c_str()) == 0) return true;
    fail(optpl_last_error());
    return false;
}

// Strings handed out by the library live only until its next call: copy them at once.
std::string copy_of(const char *library_text) { return library_text ? library_text : ""; }

// ---- pack ----

struct TemplateFile {
    std::string name;
    std::string text;
};

std::optional<std::string> read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return text;
}

bool write_file(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return !out.fail();
}

// The regular files of `dir` whose names end in ".json", sorted by name (byte order),
// so the same folder always gives the same bundle.
std::optional<std::vector<TemplateFile>> read_templates(const fs::path &dir) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        fail("cannot read directory " + in_quotes(dir.string()) + ": " + ec.message());
        return std::nullopt;
    }
    std::vector<TemplateFile> files;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!name.ends_with(".json") || !it->is_regular_file(ec)) continue;
        std::optional<std::string> text = read_file(it->path());
        if (!text) {
            fail("cannot read " + in_quotes(it->path().string()));
            return std::nullopt;
        }
        files.push_back({std::move(name), std::move(*text)});
    }
    if (ec) {
        fail("cannot read directory " + in_quotes(dir.string()) + ": " + ec.message());
        return std::nullopt;
    }
    std::sort(files.begin(), files.end(),
              [](const TemplateFile &a, const TemplateFile &b) { return a.name < b.name; });
    return files;
}

// {"name": "text", ...}, one member per line.
std::optional<std::string> bundle_json(const std::vector<TemplateFile> &files) {
    json_buf buf;
    json_buf_init(&buf, nullptr);
    json_buf_char(&buf, '{');
    for (size_t i = 0; i < files.size(); i++) {
        json_buf_cstr(&buf, i ? ",\n" : "\n");
        json_buf_str(&buf, files[i].name.data(), files[i].name.size(), 0);
        json_buf_cstr(&buf, ": ");
        json_buf_str(&buf, files[i].text.data(), files[i].text.size(), 0);
    }
    json_buf_cstr(&buf, "\n}\n");
    std::optional<std::string> json;
    if (!buf.failed) json.emplace(buf.data, buf.len);
    json_buf_free(&buf);
    return json;
}

std::optional<std::string> zlib_compress(std::string_view data) {
    uLongf size = compressBound(uLong(data.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &size,
                  reinterpret_cast<const Bytef *>(data.data()), uLong(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return std::nullopt;
    out.resize(size);
    return out;
}

int run_pack(Args args) {
    std::vector<std::string_view> operands;
    bool zlib = false;
    for (std::string_view arg : args) {
        if (arg == "--zlib")
            zlib = true;
        else if (arg.starts_with("--"))
            return kUsage;
        else
            operands.push_back(arg);
    }
    if (operands.size() != 2) return kUsage;
    const std::string out_path(operands[1]);

    std::optional<std::vector<TemplateFile>> files = read_templates(fs::path(operands[0]));
    if (!files) return kFailed;
    std::optional<std::string> bytes = bundle_json(*files);
    if (bytes && zlib) bytes = zlib_compress(*bytes);
    if (!bytes) return fail("out of memory while building the bundle");
    if (!write_file(out_path, *bytes)) return fail("cannot write " + in_quotes(out_path));

    if (optpl_load_bundle_file(out_path.c_str()) != 0) {
        std::string reason = copy_of(optpl_last_error());
        // A bundle that does not load must not look up to date to the build.
        std::remove(out_path.c_str());
        return fail("the packed bundle does not load: " + reason);
    }
    std::printf("packed %zu files into %s (%zu bytes%s)\n", files->size(), out_path.c_str(),
                bytes->size(), zlib ? ", zlib" : "");
    return kOk;
}

// ---- list ----

struct Entry {
    std::string name;
    size_t bytes;
};

int run_list(Args args) {
    if (!load_bundle(args[0])) return kFailed;

    std::vector<Entry> entries;
    size_t name_width = 4;
    for (int i = 0; i < optpl_entry_count(); i++) {
        std::string name = copy_of(optpl_entry_name(i));
        const char *text = optpl_entry_text(name.c_str());
        size_t bytes = text ? std::strlen(text) : 0;
        name_width = std::max(name_width, name.size());
        entries.push_back({std::move(name), bytes});
    }
    int index_width = int(std::to_string(entries.size()).size());
    std::printf("entries (%zu):\n", entries.size());
    std::printf("  %*s  %-*s  %s\n", index_width, "#", int(name_width), "name", "bytes");
    for (size_t i = 0; i < entries.size(); i++)
        std::printf("  %*zu  %-*s  %5zu\n", index_width, i, int(name_width), entries[i].name.c_str(),
                    entries[i].bytes);

    int templates = optpl_template_count();
    std::printf("templates (%d):\n", templates);
    for (int i = 0; i < templates; i++) std::printf("  %s\n", copy_of(optpl_template_name(i)).c_str());

    int languages = optpl_language_count();
    std::printf("languages (%d):", languages);
    for (int i = 0; i < languages; i++) std::printf(" %s", copy_of(optpl_language_name(i)).c_str());
    std::printf("\n");

    int warnings = optpl_warning_count();
    if (warnings > 0) {
        std::printf("warnings (%d):\n", warnings);
        for (int i = 0; i < warnings; i++) std::printf("  %s\n", copy_of(optpl_warning(i)).c_str());
    }
    return kOk;
}

// ---- translate ----

int run_translate(Args args) {
    if (!load_bundle(args[0])) return kFailed;
    const std::string language(args[1]);
    int found = optpl_set_language(language.c_str());
    if (found < 0) return fail(optpl_last_error());
    if (found == 1)
        std::fprintf(stderr, "note: strings.json has no table %s; falling back as the player does\n",
                     in_quotes(language).c_str());

    Args keys = args.subspan(2);
    size_t key_width = 0;
    for (std::string_view key : keys) key_width = std::max(key_width, key.size());
    for (std::string_view key_view : keys) {
        const std::string key(key_view);
        const std::string text = copy_of(optpl_translate(key.c_str()));
        std::printf("%-*s  %s%s\n", int(key_width), key.c_str(), text.c_str(),
                    text == key ? "  (no translation)" : "");
    }
    return kOk;
}

// ---- lint ----

// Parses each template (or the named ones) and prints its reading warnings
// and, for a template that does not parse, why. Fails when any did not parse.
int run_lint(Args args) {
    if (!load_bundle(args[0])) return kFailed;
    std::vector<std::string> names;
    for (std::string_view name : args.subspan(1)) names.emplace_back(name);
    if (names.empty())
        for (int i = 0; i < optpl_template_count(); i++) names.push_back(copy_of(optpl_template_name(i)));

    int failed = 0, warned = 0;
    for (const std::string &name : names) {
        int rc = optpl_parse_template(name.c_str());
        const std::string error = rc ? copy_of(optpl_last_error()) : std::string();
        int warnings = optpl_warning_count();
        std::printf("%s: %s", name.c_str(), rc ? "FAILED" : "ok");
        if (warnings) std::printf(", %d warning%s", warnings, warnings == 1 ? "" : "s");
        std::printf("\n");
        for (int i = 0; i < warnings; i++) std::printf("  warning: %s\n", copy_of(optpl_warning(i)).c_str());
        if (rc) std::printf("  error: %s\n", error.c_str());
        failed += rc != 0;
        warned += warnings != 0;
    }
    std::printf("%zu template%s: %d failed, %d with warnings\n", names.size(), names.size() == 1 ? "" : "s",
                failed, warned);
    return failed ? kFailed : kOk;
}

// ---- render and focus ----

// Options that set up the rule context and the layout, as a console would.
struct Options {
    std::vector<std::string_view> positional;
    std::vector<std::pair<std::string_view, std::string_view>> settings;  // in the order given
    bool bad = false;
};

constexpr std::string_view kValueOptions[] = {"--platform", "--device",    "--edition", "--app-version",
                                              "--language", "--flag",      "--global-flag", "--max-depth",
                                              "--form",     "--columns",   "--rows",        "--keys"};
constexpr std::string_view kSwitches[] = {"--no-clean-empty", "--bundle-flags", "--json"};

Options parse_options(Args args) {
    Options o;
    for (size_t i = 0; i < args.size(); i++) {
        std::string_view a = args[i];
        if (!a.starts_with("--")) {
            o.positional.push_back(a);
            continue;
        }
        std::string_view name = a.substr(0, a.find('='));
        if (std::find(std::begin(kSwitches), std::end(kSwitches), name) != std::end(kSwitches)) {
            o.settings.emplace_back(name, "");
        } else if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) != std::end(kValueOptions)) {
            if (a.size() > name.size()) {
                o.settings.emplace_back(name, a.substr(name.size() + 1));
            } else if (i + 1 < args.size()) {
                o.settings.emplace_back(name, args[++i]);
            } else {
                o.bad = true;
            }
        } else {
            std::fprintf(stderr, "template-tool: unknown option %s\n", in_quotes(a).c_str());
            o.bad = true;
        }
    }
    return o;
}

// Applies the options to the library; false (with a message) when one is refused.
bool apply_options(const Options &o) {
    for (const auto &[name, value_view] : o.settings) {
        const std::string value(value_view);
        int rc = 0;
        if (name == "--platform") rc = optpl_set_platform(value.c_str());
        else if (name == "--device") rc = optpl_set_device(value.c_str());
        else if (name == "--edition") rc = optpl_set_edition(value.c_str());
        else if (name == "--app-version") rc = optpl_set_app_version(value.c_str());
        else if (name == "--language") rc = optpl_set_language(value.c_str()) < 0 ? -1 : 0;
        else if (name == "--global-flag") rc = optpl_set_global_flag(value.c_str(), 1);
        else if (name == "--max-depth") optpl_set_max_depth(std::atoi(value.c_str()));
        else if (name == "--no-clean-empty") optpl_set_clean_empty(0);
        else if (name == "--bundle-flags") rc = optpl_use_bundle_feature_flags() < 0 ? -1 : 0;
        else if (name == "--form") rc = optpl_set_form_factor(value.c_str());
        else if (name == "--columns") optpl_set_tv_columns(std::atoi(value.c_str()));
        else if (name == "--rows") optpl_set_tv_rows(std::atoi(value.c_str()));
        else if (name == "--keys" || name == "--json") continue;  // used once the page is built
        else if (name == "--flag") {
            size_t eq = value.find('=');
            if (eq == std::string::npos) {
                fail("--flag takes KEY=VALUE, not " + in_quotes(value));
                return false;
            }
            rc = optpl_set_flag(value.substr(0, eq).c_str(), value.substr(eq + 1).c_str());
        }
        if (rc != 0) {
            const char *why = optpl_last_error();
            fail(std::string(name) + " " + in_quotes(value) + ": " + (*why ? why : "refused"));
            return false;
        }
    }
    return true;
}

void print_warnings() {
    for (int i = 0; i < optpl_warning_count(); i++)
        std::fprintf(stderr, "warning: %s\n", copy_of(optpl_warning(i)).c_str());
}

// BUNDLE NAME [PAGE] plus options; NULL page when none is given.
bool prepare(Args args, Options &o, std::string &name, std::string &page) {
    o = parse_options(args);
    if (o.bad || o.positional.size() < 2 || o.positional.size() > 3) return false;
    name = o.positional[1];
    page = o.positional.size() == 3 ? std::string(o.positional[2]) : "";
    return true;
}

bool wants_json(const Options &o) {
    return std::any_of(o.settings.begin(), o.settings.end(), [](const auto &s) { return s.first == "--json"; });
}

std::string node_field(int node, const char *field) { return copy_of(optpl_node_field(node, field)); }

// `label` followed by `value` in quotes, or nothing when the value is empty.
std::string detail(const char *label, const std::string &value) {
    return value.empty() ? "" : std::string(", ") + label + " " + in_quotes(value);
}

// The nodes as an indented tree: sections, and their items one step in, with
// what a console shows and does for each.
void print_tree() {
    const int count = optpl_node_count();
    for (int i = 0; i < count; i++) {
        const int depth = std::atoi(node_field(i, "depth").c_str());
        const std::string indent(size_t(depth) * 4, ' ');
        const std::string key = node_field(i, "key");
        if (node_field(i, "kind") == "section") {
            const std::string text = node_field(i, "section_text");
            std::printf("%ssection %s%s\n", indent.c_str(), in_quotes(node_field(i, "section")).c_str(),
                        text.empty() ? "" : ("  " + in_quotes(text)).c_str());
            continue;
        }
        std::string line = indent + "  item " + in_quotes(key) + "  " + in_quotes(node_field(i, "text"));
        std::string extra = detail("type", node_field(i, "type")) + detail("default", node_field(i, "default")) +
                            detail("url", node_field(i, "url")) + detail("handler", node_field(i, "handler")) +
                            detail("flag", node_field(i, "feature_flag"));
        const int values = optpl_node_value_count(i);
        if (values > 0) {
            extra += ", values";
            for (int v = 0; v < values; v++) extra += " " + in_quotes(copy_of(optpl_node_value_field(i, v, "key")));
        }
        if (node_field(i, "has_group") == "1") extra += ", opens " + in_quotes(node_field(i, "path"));
        if (!extra.empty()) line += "  (" + extra.substr(2) + ")";
        std::printf("%s\n", line.c_str());
    }
    std::printf("%d node%s\n", count, count == 1 ? "" : "s");
}

int run_render(Args args) {
    Options o;
    std::string name, page;
    if (!prepare(args, o, name, page)) return kUsage;
    if (!load_bundle(o.positional[0]) || !apply_options(o)) return kFailed;
    int rc = optpl_render(name.c_str(), page.empty() ? nullptr : page.c_str());
    print_warnings();
    if (rc != 0) return fail(optpl_last_error());
    if (!wants_json(o)) {
        print_tree();
        return kOk;
    }
    const char *doc = optpl_result_json();
    if (!doc) return fail(optpl_last_error());
    std::printf("%s\n", doc);
    return kOk;
}

// Presses each key of a comma-separated list ("Down", "40", "xbox:GamepadA",
// "androidtv:23", "cec:0x00"; without a map name, the keyboard's) as a
// remote would, printing what each one did.
void walk_keys(std::string_view keys) {
    while (!keys.empty()) {
        std::string_view token = keys.substr(0, keys.find(','));
        keys.remove_prefix(std::min(keys.size(), token.size() + 1));
        size_t colon = token.find(':');
        const std::string map(colon == std::string_view::npos ? "keyboard" : token.substr(0, colon));
        const std::string key(colon == std::string_view::npos ? token : token.substr(colon + 1));
        const char *action = optpl_action_from_key(map.c_str(), key.c_str());
        if (!action) {
            std::printf("%s: no action\n", std::string(token).c_str());
            continue;
        }
        const std::string name = action;
        int rc = optpl_focus_apply(name.c_str());
        int focus = optpl_focus_index();
        const std::string path = focus >= 0 ? copy_of(optpl_focus_field(focus, "path")) : "";
        std::printf("%s: %s -> %d, focus %d %s, depth %d\n", std::string(token).c_str(), name.c_str(), rc, focus,
                    in_quotes(path).c_str(), optpl_nav_depth());
    }
}

std::string focus_field(int index, const char *field) { return copy_of(optpl_focus_field(index, field)); }

// The focus graph as a table per section: '>' marks the current node, '*'
// the default; a node that opens a page names it.
void print_focus_table() {
    const int count = optpl_focus_count();
    std::printf("form %s, %d row%s per screen; %d focus node%s ('>' focused, '*' default)\n",
                copy_of(optpl_form_factor()).c_str(), optpl_tv_rows(), optpl_tv_rows() == 1 ? "" : "s", count,
                count == 1 ? "" : "s");
    int section = -1;
    for (int i = 0; i < count; i++) {
        const int s = std::atoi(focus_field(i, "section_index").c_str());
        if (s != section) {
            section = s;
            const std::string cols = focus_field(i, "cols");
            std::printf("section %s, %s column%s\n", in_quotes(focus_field(i, "section")).c_str(), cols.c_str(),
                        cols == "1" ? "" : "s");
            std::printf("     %4s  %3s  %3s  %-24s %s\n", "#", "row", "col", "path", "text");
        }
        const char mark = i == optpl_focus_index() ? '>' : ' ';
        const char fallback = i == optpl_focus_default() ? '*' : ' ';
        const std::string child = focus_field(i, "child_page");
        std::printf("  %c%c %4d  %3s  %3s  %-24s %s%s\n", mark, fallback, i, focus_field(i, "row").c_str(),
                    focus_field(i, "col").c_str(), focus_field(i, "path").c_str(),
                    in_quotes(focus_field(i, "text")).c_str(), child.empty() ? "" : ("  opens " + in_quotes(child)).c_str());
    }
    const int unreachable = optpl_focus_unreachable_count();
    if (unreachable > 0) {
        std::printf("unreachable by moves from the default:");
        for (int k = 0; k < unreachable; k++) std::printf(" %s", in_quotes(copy_of(optpl_focus_unreachable(k))).c_str());
        std::printf("\n");
    }
}

int run_focus(Args args) {
    Options o;
    std::string name, page;
    if (!prepare(args, o, name, page)) return kUsage;
    if (!load_bundle(o.positional[0]) || !apply_options(o)) return kFailed;
    int rc = optpl_focus_build(name.c_str(), page.empty() ? nullptr : page.c_str());
    print_warnings();
    if (rc != 0) return fail(optpl_last_error());
    if (wants_json(o)) {
        std::printf("%s\n", copy_of(optpl_focus_json()).c_str());
        std::printf("%s\n", copy_of(optpl_tv_layout_json()).c_str());
    } else {
        print_focus_table();
    }
    for (const auto &[option, keys] : o.settings)
        if (option == "--keys") walk_keys(keys);
    return kOk;
}

// ---- command table ----

struct Command {
    std::string_view name;
    std::string_view operands;
    std::string_view summary;
    size_t min_args;
    size_t max_args;
    int (*run)(Args args);  // returns an ExitStatus; kUsage prints the command's usage line
};

constexpr size_t kAnyNumber = SIZE_MAX;

constexpr Command kCommands[] = {
    {"pack", "DIR OUT [--zlib]", "pack the .json files of DIR into the bundle OUT", 2, 3, run_pack},
    {"list", "BUNDLE", "show the entries, templates, languages and load warnings of BUNDLE", 1, 1,
     run_list},
    {"lint", "BUNDLE [NAME...]", "parse each template (or the named ones) and show its warnings and failures", 1,
     kAnyNumber, run_lint},
    {"render", "BUNDLE NAME [PAGE] [OPTIONS]", "print the nodes of a page as the player renders them, as a tree", 2,
     kAnyNumber, run_render},
    {"focus", "BUNDLE NAME [PAGE] [OPTIONS]", "print the focus graph of a page as a table per section", 2,
     kAnyNumber, run_focus},
    {"translate", "BUNDLE LANG KEY...", "translate each KEY as the player does in language LANG", 3,
     kAnyNumber, run_translate},
};

std::string usage_line(const Command &command) {
    return std::string(command.name) + " " + std::string(command.operands);
}

void print_usage(FILE *to) {
    size_t width = 0;
    for (const Command &command : kCommands) width = std::max(width, usage_line(command).size());
    std::fprintf(to, "usage: template-tool COMMAND ARGS...\n\ncommands:\n");
    for (const Command &command : kCommands)
        std::fprintf(to, "  %-*s  %.*s\n", int(width), usage_line(command).c_str(),
                     int(command.summary.size()), command.summary.data());
    std::fprintf(to,
                 "\noptions of render and focus (PAGE: '/'-separated item keys from the root, default the root):\n"
                 "  --platform NAME     UWP, iOS, tvOS, Droid or SkiaMacOS (default: UWP)\n"
                 "  --device D          device the Plat rules compare (default: none)\n"
                 "  --edition E         edition the PlatEdition rules compare (default: none)\n"
                 "  --app-version V     version the MinVersion and MaxVersion rules compare (default: none)\n"
                 "  --language CODE     language of the texts (default: en)\n"
                 "  --flag KEY=VALUE    set a runtime flag; may be repeated (default: none)\n"
                 "  --global-flag NAME  switch a global flag on; may be repeated (default: none)\n"
                 "  --bundle-flags      switch on the flags of the bundle's ffop.json (default: off)\n"
                 "  --no-clean-empty    keep sections without visible items (default: dropped)\n"
                 "  --max-depth N       expand nested pages N levels deep (default: all)\n"
                 "  --form NAME         tv, desktop or handheld (default: desktop)\n"
                 "  --columns N         focus columns, 0 from the page (default: 0)\n"
                 "  --rows N            rows per screen (default: 10)\n"
                 "  --keys K1,K2,...    focus: press keys after the build and print what each did:\n"
                 "                      Down, 40, xbox:GamepadA, androidtv:23, cec:0x00 (default: none)\n"
                 "  --json              print the library's JSON documents instead (default: a tree or table)\n"
                 "\nother options: --help prints this help, --version the version\n");
}

const Command *find_command(std::string_view name) {
    for (const Command &command : kCommands)
        if (command.name == name) return &command;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        print_usage(stderr);
        return kUsage;
    }
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        print_usage(stdout);
        return kOk;
    }
    if (args[0] == "--version") {
        std::printf("template-tool (ORVELLO PLAYER) %s, template library %s\n", ORVELLO_VERSION, optpl_version());
        return kOk;
    }
    const Command *command = find_command(args[0]);
    if (!command) {
        std::fprintf(stderr, "template-tool: unknown command %s\n\n", in_quotes(args[0]).c_str());
        print_usage(stderr);
        return kUsage;
    }

    const Args operands = Args(args).subspan(1);
    int status = kUsage;
    if (operands.size() >= command->min_args && operands.size() <= command->max_args) {
        optpl_init();
        status = command->run(operands);
        optpl_cleanup();
    }
    if (status == kUsage) std::fprintf(stderr, "usage: template-tool %s\n", usage_line(*command).c_str());
    return status;
}
