// Helpers for tests that read the daemon's stream-mode log lines: parsing one line, capturing
// standard output, and matching a death test's standard error with a predicate.
#pragma once

#include <gtest/gtest.h>

#include <regex.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace logcap
{

// One parsed stream line. The pattern is the whole contract of the prefix: "-" between hours,
// minutes and seconds, six digits of microseconds, the level in five columns, pid:tid and the
// function in exactly twelve columns.
struct line {
    std::string date, micros, level, pid, tid, function, file, lineno, message;
};

// POSIX extended expressions, matched against the whole text; groups receive the parenthesised
// parts. std::regex is avoided because g++ 12 warns inside it in sanitizer builds.
inline bool ere_match(const std::string &pattern, const std::string &text,
                      std::vector<std::string> *groups = nullptr)
{
    regex_t re;
    std::string anchored = "^(" + pattern + ")$";
    if (regcomp(&re, anchored.c_str(), REG_EXTENDED) != 0) {
        ADD_FAILURE() << "bad pattern " << pattern;
        return false;
    }
    constexpr size_t MAX_GROUPS = 16;
    regmatch_t m[MAX_GROUPS];
    bool ok = regexec(&re, text.c_str(), MAX_GROUPS, m, 0) == 0;
    if (ok && groups != nullptr) {
        groups->clear();
        for (size_t i = 2; i <= re.re_nsub && i < MAX_GROUPS; i++)
            groups->push_back(m[i].rm_so < 0
                                  ? ""
                                  : text.substr(static_cast<size_t>(m[i].rm_so),
                                                static_cast<size_t>(m[i].rm_eo - m[i].rm_so)));
    }
    regfree(&re);
    return ok;
}

// Quotes text so that it matches itself inside an extended expression.
inline std::string ere_quote(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (strchr(".[]()*+?{}|^$\\", c) != nullptr)
            out += '\\';
        out += c;
    }
    return out;
}

inline bool parse_line(const std::string &text, line *out)
{
    static const std::string pattern =
        "([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}-[0-9]{2}-[0-9]{2})\\.([0-9]{6})Z: ([ A-Z?]{5}) "
        "([0-9]+):([0-9]+) (.{12}):([^:]*):([0-9]+):(.*)";
    std::vector<std::string> g;
    if (!ere_match(pattern, text, &g) || g.size() != 9)
        return false;
    *out = {g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8]};
    return true;
}

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

inline std::string read_fd(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

// Runs fn with file descriptor 1 pointed at a temporary file and returns what reached it.
// report never flushes, so the capture flushes before it restores the descriptor.
template <typename F> std::string capture_stdout(F fn)
{
    fflush(stdout);
    FILE *tmp = tmpfile();
    EXPECT_NE(tmp, nullptr);
    if (tmp == nullptr)
        return "";
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text = read_fd(fileno(tmp));
    fclose(tmp);
    return text;
}

// Inside a death test's child: the stream-mode log lines go to the captured standard error,
// unbuffered, because abort() would drop whatever stdio still held.
inline void stdout_to_stderr()
{
    fflush(stdout);
    setvbuf(stdout, nullptr, _IONBF, 0);
    dup2(2, 1);
}

class predicate_matcher : public ::testing::MatcherInterface<const std::string &>
{
  public:
    predicate_matcher(std::string what, std::function<bool(const std::string &)> pred)
        : what_(std::move(what)), pred_(std::move(pred))
    {
    }
    bool MatchAndExplain(const std::string &text,
                         ::testing::MatchResultListener *listener) const override
    {
        *listener << "whose text is\n" << text;
        return pred_(text);
    }
    void DescribeTo(std::ostream *os) const override { *os << what_; }

  private:
    std::string what_;
    std::function<bool(const std::string &)> pred_;
};

// A death test's standard error, checked by a predicate, described for the failure message.
inline ::testing::Matcher<const std::string &>
text_that(std::string what, std::function<bool(const std::string &)> pred)
{
    return ::testing::MakeMatcher(new predicate_matcher(std::move(what), std::move(pred)));
}

// A parsed line reduced to what the tests compare; lines without the log prefix are kept with
// an empty level, so a stray print still fails.
struct log_line {
    std::string level, function, file, message;
};

inline std::string trimmed(std::string text)
{
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

inline std::vector<log_line> parse_log(const std::string &text)
{
    std::vector<log_line> lines;
    for (const std::string &raw : split_lines(text)) {
        line l;
        if (parse_line(raw, &l))
            lines.push_back({trimmed(l.level), trimmed(l.function), l.file, l.message});
        else
            lines.push_back({"", "", "", raw});
    }
    return lines;
}

inline std::vector<std::string> messages_at(const std::vector<log_line> &lines,
                                            const std::string &level)
{
    std::vector<std::string> out;
    for (const auto &l : lines)
        if (l.level == level)
            out.push_back(l.message);
    return out;
}

// The first line of an assertion failure as a death-test pattern: the log prefix shows the
// function in a 12-character column, then the file and the line.
inline std::string failure_line(const char *function, const char *file, const char *text)
{
    char column[16];
    snprintf(column, sizeof(column), "%-12.12s", function);
    return ere_quote(std::string(column) + ":" + file + ":") +
           "[0-9]+:" + ere_quote(std::string("Failed assertion: ") + text + "\n");
}

// The three ERROR lines of a failed assertion in `function` of `file`, at line `lineno` unless
// that is empty: the expression, errno in words, and a backtrace whose text `trace` checks.
inline ::testing::Matcher<const std::string &>
assertion_lines(const std::string &function, const std::string &file, const std::string &lineno,
                const std::string &text, int saved_errno,
                std::function<bool(const std::string &)> trace)
{
    char column[16];
    snprintf(column, sizeof(column), "%-12.12s", function.c_str());
    std::string name = column;
    return text_that(function + " failing with " + text, [=](const std::string &err) {
        std::vector<std::string> lines = split_lines(err);
        if (lines.size() != 3)
            return false;
        line l[3];
        for (int i = 0; i < 3; i++)
            if (!parse_line(lines[i], &l[i]) || l[i].level != "ERROR" || l[i].function != name ||
                l[i].file != file || (!lineno.empty() && l[i].lineno != lineno))
                return false;
        return l[0].message == "Failed assertion: " + text &&
               l[1].message ==
                   "Errno: " + std::to_string(saved_errno) + " - " + strerror(saved_errno) &&
               trace(l[2].message);
    });
}

} // namespace logcap

// An invariant check that fails: its first line names the site, and the process aborts.
#define EXPECT_ASSERTION(statement, function, file, text)                                          \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            logcap::stdout_to_stderr();                                                            \
            statement;                                                                             \
        },                                                                                         \
        ::testing::KilledBySignal(SIGABRT), logcap::failure_line(function, file, text))
