#include "script.h"

#include <charconv>
#include <string>

namespace shell {
namespace {

struct OpName {
    std::string_view name;
    ScriptStep::Op op;
    enum { None, Number, Text } argument;
};

constexpr OpName OPS[] = {
    {"key", ScriptStep::Op::Key, OpName::Number},     {"pad", ScriptStep::Op::Pad, OpName::Text},
    {"tap", ScriptStep::Op::Tap, OpName::Number},     {"wait", ScriptStep::Op::Wait, OpName::Number},
    {"beats", ScriptStep::Op::Beats, OpName::Number}, {"shot", ScriptStep::Op::Shot, OpName::Text},
    {"tree", ScriptStep::Op::Tree, OpName::Text},     {"quit", ScriptStep::Op::Quit, OpName::None},
};

std::string_view trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

std::optional<std::vector<ScriptStep>> parse_script(std::string_view text, std::string &error) {
    std::vector<ScriptStep> steps;
    int line_number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line_number++;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        size_t blank = line.find_first_of(" \t");
        std::string_view word = line.substr(0, blank);
        std::string_view argument = blank == std::string_view::npos ? std::string_view() : trim(line.substr(blank));
        auto fail = [&](const std::string &why) {
            error = "line " + std::to_string(line_number) + ": " + why;
            return std::nullopt;
        };
        const OpName *op = nullptr;
        for (const OpName &candidate : OPS)
            if (candidate.name == word) op = &candidate;
        if (!op) return fail("unknown command \"" + std::string(word) + "\"");
        ScriptStep step{op->op, 0, {}, line_number};
        switch (op->argument) {
            case OpName::None:
                if (!argument.empty()) return fail(std::string(word) + " takes no argument");
                break;
            case OpName::Number: {
                auto [last, status] = std::from_chars(argument.data(), argument.data() + argument.size(), step.number);
                if (argument.empty() || status != std::errc() || last != argument.data() + argument.size() ||
                    step.number < 0)
                    return fail(std::string(word) + " needs a number");
                break;
            }
            case OpName::Text:
                if (argument.empty()) return fail(std::string(word) + " needs an argument");
                step.text = argument;
                break;
        }
        steps.push_back(std::move(step));
    }
    return steps;
}

}  // namespace shell
