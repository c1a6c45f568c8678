#pragma once
// The options and operands of one corvactl command. A command names the options it
// knows; anything else is a usage error that names the problem in one line.
//
//   Arguments a(args, {{"study", Arguments::Value}, {"keep", Arguments::Flag}});
//   if (a.has("keep")) ...; a.value("study"); a.operands();
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corva::station::ctl {

// A mistake in the command line: exit status 2 and the message on one line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Arguments {
public:
    enum Kind { Flag, Value, Values };  // Values: may be given several times
    struct Option {
        std::string name;  // without the leading "--"
        Kind kind = Flag;
    };

    // Reads "--name", "--name value", "--name=value" and operands; "--" ends the options.
    // Throws UsageError for an unknown option, a missing value or a repeated single option.
    Arguments(const std::vector<std::string>& args, const std::vector<Option>& options);

    bool has(const std::string& name) const { return given_.count(name) > 0; }
    std::optional<std::string> value(const std::string& name) const;
    std::vector<std::string> values(const std::string& name) const;
    const std::vector<std::string>& operands() const { return operands_; }

    // Exactly one of `names` given (e.g. --patient, --study, --series); its name.
    std::string exactlyOne(const std::vector<std::string>& names) const;
    // Throws UsageError when both are given.
    void exclusive(const std::string& a, const std::string& b) const;
    // Throws UsageError naming the first operand, for a command that takes none.
    void noOperands() const;

private:
    std::map<std::string, std::vector<std::string>> given_;
    std::vector<std::string> operands_;
};

// A whole number in [low, high] from an option's text; UsageError naming the option otherwise.
int wholeNumber(const std::string& option, const std::string& text, int low, int high);

}  // namespace corva::station::ctl
