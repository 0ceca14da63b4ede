// Seeded generator of valid program texts: every statement kind, nested
// blocks, labels in odd places (own line, before ELSE, on ENDIF lines, at the
// end), one or two programs, comments, blank lines, any letter case and
// spacing, and each of the three line-end styles.
#pragma once

#include <random>
#include <string>
#include <vector>

class ProgramGenerator {
public:
    explicit ProgramGenerator(unsigned seed) : rng_(seed) {}

    std::string file()
    {
        std::vector<std::string> lines;
        const int style = pick(3);
        if (pick(2) == 0) {
            body(lines, 0);
        } else {
            const int first = pick(2);
            const int count = 1 + pick(2);
            for (int k = 0; k < count; ++k) {
                maybeNoise(lines);
                const int prg = k == 0 ? first : 1 - first;
                lines.push_back(word(pick(2) ? "PRG " : "prg  ") + std::to_string(prg));
                body(lines, 0);
            }
        }
        const char *end = style == 0 ? "\r\n" : style == 1 ? "\n" : "\r";
        std::string out;
        for (std::size_t k = 0; k < lines.size(); ++k) {
            out += lines[k];
            if (k + 1 < lines.size() || pick(2))
                out += end;
        }
        return out;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    // Keywords in random case.
    std::string word(std::string w)
    {
        const int mode = pick(3);
        for (char &c : w)
            if (c >= 'A' && c <= 'Z' && (mode == 1 || (mode == 2 && pick(2))))
                c = static_cast<char>(c - 'A' + 'a');
        return w;
    }

    std::string pad() { return std::string(static_cast<std::size_t>(pick(3)), pick(4) ? ' ' : '\t'); }

    std::string literal()
    {
        switch (pick(6)) {
        case 0: return "-2147483648";
        case 1: return "2147483647";
        case 2: return std::to_string(-pick(1000));
        default: return std::to_string(pick(5000));
        }
    }

    std::string operand()
    {
        static const char *status[] = {"PX", "MST", "DI", "DI1", "DI6", "DO", "DO2", "AI", "EO", "MM", "HSPD", "ACC"};
        switch (pick(3)) {
        case 0: return literal();
        case 1: return word("V" + std::to_string(1 + pick(50)));
        default: return word(status[pick(12)]);
        }
    }

    std::string comparison()
    {
        static const char *rel[] = {"=", "!=", "<", ">", "<=", ">="};
        return operand() + pad() + rel[pick(6)] + pad() + operand();
    }

    std::string condition()
    {
        std::string c = comparison();
        for (int n = pick(4) == 0 ? 1 + pick(3) : 0; n > 0; --n)
            c += " " + word(pick(2) ? "AND" : "OR") + " " + comparison();
        return c;
    }

    std::string simple()
    {
        static const char *actions[] = {"ABORT", "STOP", "ABS", "INC", "J+", "J-", "STORE", "WAITX", "END", "RETURN"};
        static const char *settings[] = {"HSPD", "ACC", "EO", "DO", "DO1", "DO2", "PX", "P6", "PB", "POL",
                                         "DOBOOT", "SLOAD", "SR0", "SR1"};
        static const char ops[] = "+-*/%&|";
        switch (pick(6)) {
        case 0: return word(actions[pick(10)]);
        case 1: return word(settings[pick(14)]) + pad() + "=" + pad() + operand();
        case 2: return pick(2) ? "X" + std::to_string(pick(100000)) : word("X") + " " + operand();
        case 3: return word("DELAY") + (pick(2) ? "=" : " ") + operand();
        default: {
            std::string s = word("V" + std::to_string(1 + pick(50))) + pad() + "=" + pad() + operand();
            if (pick(2)) {
                const char op = ops[pick(7)];
                std::string rhs = operand();
                if ((op == '/' || op == '%') && (rhs == "0" || rhs == "-0"))
                    rhs = "3";
                s += pad() + op + pad() + rhs;
            }
            return s;
        }
        }
    }

    void maybeNoise(std::vector<std::string> &lines)
    {
        switch (pick(8)) {
        case 0: lines.emplace_back(); break;
        case 1: lines.push_back(pad() + "; comment \xe4\xdf"); break;
        default: break;
        }
    }

    void body(std::vector<std::string> &lines, int depth)
    {
        // Labels of this program: defined once each somewhere in its lines.
        if (depth == 0) {
            labels_.clear();
            for (int n = pick(4); n > 0; --n)
                labels_.push_back("lab" + std::to_string(labels_.size()));
            const std::size_t startLine = lines.size();
            block(lines, depth, 2 + pick(20));
            placeLabels(lines, startLine);
            return;
        }
        block(lines, depth, 1 + pick(5));
    }

    void block(std::vector<std::string> &lines, int depth, int count)
    {
        const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
        for (int k = 0; k < count && lines.size() < 600; ++k) {
            maybeNoise(lines);
            const int kind = pick(depth < 4 ? 10 : 7);
            std::string comment = pick(5) == 0 ? " ; why" : "";
            if (kind < 5) {
                lines.push_back(indent + simple() + comment);
            } else if (kind < 7) {
                if (labels_.empty()) {
                    lines.push_back(indent + simple());
                    continue;
                }
                lines.push_back(indent + word(pick(2) ? "GOTO " : "GOSUB ") +
                                word(labels_[static_cast<std::size_t>(pick(static_cast<int>(labels_.size())))]));
            } else if (kind < 9) {
                lines.push_back(indent + word("IF ") + condition() + comment);
                body(lines, depth + 1);
                for (int n = pick(3); n > 0; --n) {
                    lines.push_back(indent + word("ELSEIF ") + condition());
                    body(lines, depth + 1);
                }
                if (pick(2)) {
                    lines.push_back(indent + word("ELSE"));
                    if (pick(4))
                        body(lines, depth + 1);
                }
                lines.push_back(indent + word("ENDIF"));
            } else {
                lines.push_back(indent + word("WHILE ") + condition());
                if (pick(4))
                    body(lines, depth + 1);
                lines.push_back(indent + word("ENDWHILE") + comment);
            }
        }
    }

    // A label on a line of its own, or in front of a statement or block word.
    void placeLabels(std::vector<std::string> &lines, std::size_t from)
    {
        for (const std::string &name : labels_) {
            const std::size_t at = from + static_cast<std::size_t>(pick(static_cast<int>(lines.size() - from) + 1));
            const std::string label = word(name) + ":";
            if (at < lines.size() && pick(2) && !lines[at].empty() && lines[at].find(':') == std::string::npos &&
                lines[at].find_first_not_of(" \t") != lines[at].find(';')) {
                lines[at] = label + " " + lines[at];
            } else {
                lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), pad() + label);
            }
        }
    }

    std::mt19937 rng_;
    std::vector<std::string> labels_;
};
