#include "app/ctl/arguments.h"

#include <algorithm>
#include <charconv>

namespace corva::station::ctl {

Arguments::Arguments(const std::vector<std::string>& args, const std::vector<Option>& options) {
    const auto find = [&](const std::string& name) -> const Option* {
        for (const Option& o : options)
            if (o.name == name) return &o;
        return nullptr;
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a.rfind("--", 0) != 0) {
            if (!optionsEnded && a.size() > 1 && a[0] == '-' && a[1] != '-')
                throw UsageError("unknown option " + a);
            operands_.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = a.substr(2);
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        const Option* o = find(name);
        if (!o) throw UsageError("unknown option --" + name);
        auto& slot = given_[name];
        if (o->kind == Flag) {
            if (inlineValue) throw UsageError("option --" + name + " takes no value");
            slot.emplace_back();
            continue;
        }
        if (o->kind == Value && !slot.empty()) throw UsageError("option --" + name + " given twice");
        if (inlineValue) {
            slot.push_back(*inlineValue);
        } else {
            if (i + 1 >= args.size()) throw UsageError("option --" + name + " needs a value");
            slot.push_back(args[++i]);
        }
    }
}

std::optional<std::string> Arguments::value(const std::string& name) const {
    const auto it = given_.find(name);
    if (it == given_.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
}

std::vector<std::string> Arguments::values(const std::string& name) const {
    const auto it = given_.find(name);
    return it == given_.end() ? std::vector<std::string>{} : it->second;
}

std::string Arguments::exactlyOne(const std::vector<std::string>& names) const {
    std::string list;
    std::string found;
    int count = 0;
    for (const auto& n : names) {
        list += (list.empty() ? "--" : "|--") + n;
        if (has(n)) {
            found = n;
            ++count;
        }
    }
    if (count != 1) throw UsageError((count == 0 ? "missing " : "give only one of ") + list);
    return found;
}

void Arguments::exclusive(const std::string& a, const std::string& b) const {
    if (has(a) && has(b)) throw UsageError("--" + a + " and --" + b + " exclude each other");
}

void Arguments::noOperands() const {
    if (!operands_.empty()) throw UsageError("unexpected operand '" + operands_.front() + "'");
}

int wholeNumber(const std::string& option, const std::string& text, int low, int high) {
    int n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high)
        throw UsageError("--" + option + " must be a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    return n;
}

}  // namespace corva::station::ctl
