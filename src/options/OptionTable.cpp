#include "options/OptionTable.h"

#include <algorithm>
#include <getopt.h>

namespace {

// getopt_long's code for a row without a short letter.
constexpr int kLongOnly = 256;

int CodeOf(const COption& row, std::size_t index)
{
    return row.letter != 0 ? static_cast<unsigned char>(row.letter) : kLongOnly + static_cast<int>(index);
}

// What getopt_long reads, built from the table and a copy of argv.
class CGetopt {
public:
    CGetopt(const std::vector<std::string>& argv, const COptionTable& table) : m_texts(argv), m_table(table)
    {
        for (auto& text : m_texts)
            m_argv.push_back(text.data());
        m_argv.push_back(nullptr);
        // '-': other arguments come back in order as code 1; ':': a missing
        // value comes back as ':' and nothing is printed.
        m_short = "-:";
        for (std::size_t i = 0; i < table.size(); ++i) {
            const COption& row = table[i];
            if (row.letter != 0)
                m_short += std::string(1, row.letter) + (row.takesValue ? ":" : "");
            m_long.push_back({row.name.c_str(), row.takesValue ? required_argument : no_argument, nullptr,
                              CodeOf(row, i)});
        }
        m_long.push_back({nullptr, 0, nullptr, 0});
    }

    int Count() const { return static_cast<int>(m_texts.size()); }
    const std::string& Text(int index) const { return m_texts[static_cast<std::size_t>(index)]; }

    int Next(int& longIndex)
    {
        longIndex = -1;
        return getopt_long(Count(), m_argv.data(), m_short.c_str(), m_long.data(), &longIndex);
    }

    const COption* RowOfCode(int code) const
    {
        for (std::size_t i = 0; i < m_table.size(); ++i)
            if (CodeOf(m_table[i], i) == code)
                return &m_table[i];
        return nullptr;
    }

private:
    std::vector<std::string> m_texts;
    const COptionTable& m_table;
    std::vector<char*> m_argv;
    std::string m_short;
    std::vector<option> m_long;
};

// The option as the user wrote it, without any "=VALUE".
std::string Written(const std::string& text)
{
    return text.substr(0, text.rfind("--", 0) == 0 ? text.find('=') : 2);
}

// One step of the walk: the option getopt_long found at argv[at].
struct CStep {
    int code;
    int at;
    int longIndex;
};

class CWalk {
public:
    CWalk(CGetopt& getopt, const COptionTable& table, const COptionParse& how, std::string& error)
        : m_getopt(getopt), m_table(table), m_how(how), m_error(error)
    {
    }

    // False on an error; done is set when the parse is complete.
    bool Step(const CStep& step, bool& done)
    {
        if (step.at == m_passedOn)
            return true; // the rest of a group of letters passed on whole
        if (step.code == 1)
            return Positional(optarg);
        if (step.code == ':' || step.code == '?')
            return Mistake(step);
        const COption* row = step.longIndex >= 0 ? &m_table[static_cast<std::size_t>(step.longIndex)]
                                                 : m_getopt.RowOfCode(step.code);
        if (!Exact(step.at, *row))
            return Refuse(step.at, optind, Written(m_getopt.Text(step.at)));
        if (row->action && !row->action(optarg != nullptr ? optarg : "", m_error))
            return false;
        done = row->ends;
        return true;
    }

    bool Positional(const std::string& arg)
    {
        if (!m_how.positional)
            return Fail("unexpected argument '" + arg + "'");
        return m_how.positional(arg, m_error);
    }

private:
    // getopt_long takes any unambiguous prefix of a long name; ours stay exact.
    bool Exact(int at, const COption& row) const
    {
        const std::string& text = m_getopt.Text(at);
        return text.rfind("--", 0) != 0 || Written(text) == "--" + row.name;
    }

    // A missing value, a value given to a flag, or an option the table lacks.
    bool Mistake(const CStep& step)
    {
        const COption* row = optopt != 0 ? m_getopt.RowOfCode(optopt) : nullptr;
        if (row != nullptr && Exact(step.at, *row)) {
            if (step.code == ':')
                return Fail("option '" + Shown(step.at) + "' needs a value");
            if (m_getopt.Text(step.at).rfind("--", 0) == 0)
                return Fail("option '--" + row->name + "' takes no value");
        }
        // A letter inside a group ("-xq") leaves optind on the group.
        return Refuse(step.at, std::max(optind, step.at + 1), Shown(step.at));
    }

    // The option getopt_long stopped at: a long one as written, else its letter.
    std::string Shown(int at) const
    {
        const std::string& text = m_getopt.Text(at);
        if (text.rfind("--", 0) == 0 || optopt == 0)
            return Written(text);
        return std::string("-") + static_cast<char>(optopt);
    }

    // argv[at, end) hold an option this table does not know.
    bool Refuse(int at, int end, const std::string& shown)
    {
        if (m_how.unknown == nullptr)
            return Fail("unknown option '" + shown + "'");
        for (int i = at; i < end; ++i)
            m_how.unknown->push_back(m_getopt.Text(i));
        m_passedOn = at;
        return true;
    }

    bool Fail(const std::string& message)
    {
        m_error = message;
        return false;
    }

    CGetopt& m_getopt;
    const COptionTable& m_table;
    const COptionParse& m_how;
    std::string& m_error;
    int m_passedOn = -1;
};

} // namespace

COption FlagOption(const std::string& name, char letter, bool& target)
{
    return {name, letter, false, [&target](const std::string&, std::string&) { return target = true; }};
}

COption TextOption(const std::string& name, char letter, std::string& target)
{
    return {name, letter, true, [&target](const std::string& value, std::string&) {
                target = value;
                return true;
            }};
}

bool ParseOptions(const std::vector<std::string>& argv, const COptionTable& table, const COptionParse& how,
                  std::string& error)
{
    if (argv.empty())
        return true;
    CGetopt getopt(argv, table);
    CWalk walk(getopt, table, how, error);
    optind = 0; // start afresh, forgetting any earlier parse
    opterr = 0;
    bool done = false;
    while (!done) {
        const int at = optind == 0 ? 1 : optind;
        int longIndex = -1;
        const int code = getopt.Next(longIndex);
        if (code == -1)
            break;
        if (!walk.Step({code, at, longIndex}, done))
            return false;
    }
    // After "--" everything left is an argument.
    for (int i = optind; !done && i < getopt.Count(); ++i)
        if (!walk.Positional(getopt.Text(i)))
            return false;
    return true;
}

bool ParseOptions(int argc, char** argv, const COptionTable& table, const COptionParse& how,
                  std::string& error)
{
    return ParseOptions(std::vector<std::string>(argv, argv + argc), table, how, error);
}

COption* FindOption(COptionTable& table, const std::string& name)
{
    for (COption& row : table)
        if (row.name == name)
            return &row;
    return nullptr;
}
