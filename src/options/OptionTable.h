#pragma once
// One command-line parser for every program: a program declares a table of
// options and the parser (CLI11 underneath) walks argv with it; the help's
// option lines are written from the same table.
//
// Accepted forms: --name VALUE, --name=VALUE, -x VALUE, -xVALUE, flags as
// --name or -x (short flags may be grouped, -qv), and "--" to end the
// options. Long names must be given in full. Arguments that are no option
// reach the positional handler in the order given.
//
// Errors are one line without the program's name, in one style:
//   unknown option '--foo'
//   option '--baud' needs a value
//   option '--json' takes no value
// and whatever an action or the positional handler reports. Actions run in
// the order the options are given.
#include <functional>
#include <string>
#include <vector>

struct COption {
    // The action gets the value (empty for a flag); false with a reason in
    // error stops the parse.
    using Action = std::function<bool(const std::string& value, std::string& error)>;

    std::string name{}; // long name without "--"
    char letter = 0;    // short form, or 0 for none
    bool takesValue = false;
    Action action{};
    bool ends = false;       // a successful action ends the parse (--help, --version)
    std::string valueName{}; // the value as the help shows it ("PATH"); empty for a flag
    std::string help{};      // the help's description; '\n' breaks its lines
};

using COptionTable = std::vector<COption>;

// A flag whose action sets target.
COption FlagOption(const std::string& name, char letter, bool& target, const std::string& help = "");
// An option whose value is stored in target (a repeated option: the last one).
COption TextOption(const std::string& name, char letter, std::string& target,
                   const std::string& valueName = "", const std::string& help = "");

struct COptionParse {
    // Gets each argument that is no option; null: such an argument is refused.
    std::function<bool(const std::string& arg, std::string& error)> positional;
    // Non-null: unknown options are left here, as given, instead of being
    // refused (only for tables without short options).
    std::vector<std::string>* unknown = nullptr;
};

// argv[0] is the program's name and is skipped. argv is not changed. False
// with one line in error for a command line that cannot run.
bool ParseOptions(const std::vector<std::string>& argv, const COptionTable& table, const COptionParse& how,
                  std::string& error);
bool ParseOptions(int argc, char** argv, const COptionTable& table, const COptionParse& how,
                  std::string& error);

// Where the help's descriptions start, and where a name too long for that
// column leaves its description: on its own line or two blanks after it.
struct CHelpLayout {
    std::size_t column = 25;
    bool longNameOwnLine = false;
};

// One entry per row that has a help text, in the table's order:
// "  -v, --verbose          print the debug trace on stderr\n".
std::string OptionHelp(const COptionTable& table, const CHelpLayout& layout = {});

// One table of the tables' rows, in order.
COptionTable JoinOptions(const std::vector<COptionTable>& tables);

// The row of table named name, or null.
COption* FindOption(COptionTable& table, const std::string& name);
