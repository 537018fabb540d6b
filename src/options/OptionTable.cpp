#include "options/OptionTable.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace {

// CLI11 reads "--name=" as "--name" waiting for its value, and takes
// "--flag=true" for "--flag"; these stand-ins, which no user types, keep an
// empty value and a bare flag apart.
const std::string kEmptyValue = "\x1f";
const std::string kBareFlag = "\x1e";

std::string WithoutStandIn(std::string text)
{
    if (text.size() >= kEmptyValue.size() && text.compare(text.size() - 1, 1, kEmptyValue) == 0)
        text.pop_back();
    return text;
}

bool IsLong(const std::string& text)
{
    return text.rfind("--", 0) == 0;
}

// The option as the user wrote it, without any "=VALUE".
std::string Written(const std::string& text)
{
    return text.substr(0, IsLong(text) ? text.find('=') : 2);
}

// Thrown from inside CLI11's walk: a mistake already worded, or the end of a
// parse that an ending option asked for.
struct CStop {
    bool ok;
    std::string error;
};

// One parse: the CLI11 app built from the table, and what CLI11 left over
// (arguments and options it does not know), handled in argv's order.
class CParse {
public:
    CParse(const COptionTable& table, const COptionParse& how) : m_table(table), m_how(how)
    {
        m_app.set_help_flag();
        m_app.allow_extras();
        for (const COption& row : table)
            Declare(row);
    }

    bool Run(const std::vector<std::string>& argv, std::string& error)
    {
        // CLI11 takes the arguments last first.
        std::vector<std::string> args;
        bool options = true;
        for (auto it = argv.rbegin(); it + 1 != argv.rend(); ++it)
            args.push_back(*it);
        for (auto it = args.rbegin(); it != args.rend(); ++it) {
            options = options && *it != "--";
            if (options && IsLong(*it) && it->back() == '=')
                *it += kEmptyValue;
        }
        try {
            m_app.parse(args);
            TakeLeftOver();
        } catch (const CStop& stop) {
            error = stop.error;
            return stop.ok;
        } catch (const CLI::ParseError& e) {
            return Mistake(argv, e, error);
        }
        return true;
    }

private:
    void Declare(const COption& row)
    {
        // A flag's own default keeps CLI11 from taking "--json=true" for "--json".
        const std::string bare = row.takesValue ? "" : "{" + kBareFlag + "}";
        std::string names = "--" + row.name + bare;
        if (row.letter != 0)
            names = std::string("-") + row.letter + bare + "," + names;
        if (!row.takesValue) {
            m_app.add_flag(names)->trigger_on_parse()->disable_flag_override()->each(
                [this, &row](const std::string&) { Take(row, ""); });
            return;
        }
        const auto take = [this, &row](const CLI::results_t& values) {
            Take(row, values.empty() ? "" : WithoutStandIn(values.back()));
            return true;
        };
        m_app.add_option(names, take)->trigger_on_parse()->expected(1)->allow_extra_args(false);
    }

    void Take(const COption& row, const std::string& value)
    {
        TakeLeftOver();
        std::string error;
        if (row.action && !row.action(value, error))
            throw CStop{false, error};
        if (row.ends)
            throw CStop{true, ""};
    }

    // What CLI11 set aside since the last look: "--" once, arguments, and
    // options the table lacks.
    void TakeLeftOver()
    {
        const std::vector<std::string> left = m_app.remaining();
        for (; m_seen < left.size(); ++m_seen) {
            const std::string text = WithoutStandIn(left[m_seen]);
            if (!m_afterMark && text == "--") {
                m_afterMark = true;
            } else if (!m_afterMark && text.size() > 1 && text[0] == '-') {
                Unknown(text, m_seen + 1 < left.size() ? &left[m_seen + 1] : nullptr);
            } else if (m_valueOfUnknown) {
                m_how.unknown->push_back(text);
                m_valueOfUnknown = false;
            } else {
                Positional(text);
            }
        }
    }

    void Positional(const std::string& arg)
    {
        std::string error;
        if (!m_how.positional)
            throw CStop{false, "unexpected argument '" + arg + "'"};
        if (!m_how.positional(arg, error))
            throw CStop{false, error};
    }

    // Passed on when the caller takes unknown options. A cut-short name of an
    // option with a value keeps the value with it, as the name is not ours.
    void Unknown(const std::string& text, const std::string* next)
    {
        if (m_how.unknown == nullptr)
            throw CStop{false, "unknown option '" + Written(text) + "'"};
        m_how.unknown->push_back(text);
        m_valueOfUnknown = next != nullptr && IsLong(text) && text.find('=') == std::string::npos &&
                           CutShortTakesValue(text.substr(2));
    }

    bool CutShortTakesValue(const std::string& start) const
    {
        const auto begins = [&start](const COption& row) { return row.name.rfind(start, 0) == 0; };
        const auto matches = std::count_if(m_table.begin(), m_table.end(), begins);
        const auto row = std::find_if(m_table.begin(), m_table.end(), begins);
        return matches == 1 && row->takesValue;
    }

    // CLI11's own refusals in this parser's words: a value missing at the end
    // of argv, or a value given to a flag.
    bool Mistake(const std::vector<std::string>& argv, const CLI::ParseError& e, std::string& error)
    {
        try {
            TakeLeftOver();
        } catch (const CStop& stop) {
            error = stop.error;
            return false;
        }
        const std::string what = e.what();
        const std::string last = argv.back();
        if (const auto at = what.find(" was given a disallowed flag override"); at != std::string::npos)
            error = "option '--" + what.substr(0, at) + "' takes no value";
        else if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr)
            error = "option '" + (IsLong(last) ? Written(last) : "-" + last.substr(last.size() - 1)) +
                    "' needs a value";
        else
            error = what;
        return false;
    }

    const COptionTable& m_table;
    const COptionParse& m_how;
    CLI::App m_app;
    std::size_t m_seen = 0;
    bool m_afterMark = false;
    bool m_valueOfUnknown = false;
};

} // namespace

COption FlagOption(const std::string& name, char letter, bool& target, const std::string& help)
{
    return {name,  letter, false, [&target](const std::string&, std::string&) { return target = true; },
            false, "",     help};
}

COption TextOption(const std::string& name, char letter, std::string& target, const std::string& valueName,
                   const std::string& help)
{
    const auto store = [&target](const std::string& value, std::string&) {
        target = value;
        return true;
    };
    return {name, letter, true, store, false, valueName, help};
}

bool ParseOptions(const std::vector<std::string>& argv, const COptionTable& table, const COptionParse& how,
                  std::string& error)
{
    if (argv.empty())
        return true;
    CParse parse(table, how);
    return parse.Run(argv, error);
}

bool ParseOptions(int argc, char** argv, const COptionTable& table, const COptionParse& how,
                  std::string& error)
{
    return ParseOptions(std::vector<std::string>(argv, argv + argc), table, how, error);
}

std::string OptionHelp(const COptionTable& table, const CHelpLayout& layout)
{
    std::string text;
    const std::string indent(layout.column, ' ');
    for (const COption& row : table) {
        if (row.help.empty())
            continue;
        std::string name = "  ";
        if (row.letter != 0)
            name += std::string("-") + row.letter + ", ";
        name += "--" + row.name + (row.valueName.empty() ? "" : " " + row.valueName);
        if (name.size() < layout.column)
            name.resize(layout.column, ' ');
        else
            name += layout.longNameOwnLine ? "\n" + indent : "  ";
        text += name;
        for (const char c : row.help)
            text += c == '\n' ? "\n" + indent : std::string(1, c);
        text += "\n";
    }
    return text;
}

COptionTable JoinOptions(const std::vector<COptionTable>& tables)
{
    COptionTable joined;
    for (const COptionTable& table : tables)
        joined.insert(joined.end(), table.begin(), table.end());
    return joined;
}

COption* FindOption(COptionTable& table, const std::string& name)
{
    for (COption& row : table)
        if (row.name == name)
            return &row;
    return nullptr;
}
