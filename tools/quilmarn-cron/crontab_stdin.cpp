#include "crontab_stdin.h"

namespace {

constexpr std::string_view OPEN = "{ ", CLOSE = "} <<'", DELIM = "QUILMARN_STDIN";

// `text` with "\%" read as '%'. Without `breaks` it stops at the first other
// '%' and gives its place; with them every other '%' is a line break.
size_t unescape(std::string_view text, bool breaks, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '%') {
            *out += '%';
            ++i;
        } else if (text[i] == '%') {
            if (!breaks) return i;
            *out += '\n';
        } else {
            *out += text[i];
        }
    }
    return std::string_view::npos;
}

// The inverse for one part: '%' escaped, and line breaks as '%' in the input.
std::string escape(std::string_view text, bool breaks) {
    std::string out;
    for (char c : text) {
        if (c == '%') {
            out += "\\%";
        } else if (breaks && c == '\n') {
            out += '%';
        } else {
            out += c;
        }
    }
    return out;
}

bool has_line(const std::string& body, const std::string& line) {
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos) end = body.size();
        if (body.compare(at, end - at, line) == 0 && end - at == line.size()) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace

bool cron_percent_read(std::string_view text, std::string* cmd, std::string* why) {
    std::string head, input;
    const size_t at = unescape(text, false, &head);
    if (at == std::string_view::npos) {
        *cmd = std::move(head);
        return true;
    }
    if (head.find_first_not_of(" \t") == std::string::npos) {
        *why = "no command before the '%' that starts its standard input (write '\\%' for a percent sign)";
        return false;
    }
    unescape(text.substr(at + 1), true, &input);
    // cron ends the input with a line break when it has none.
    if (!input.empty() && input.back() != '\n') input += '\n';
    // Quoted, the delimiter turns off every expansion: the input is exact.
    std::string delim(DELIM);
    while (has_line(input, delim)) delim += '_';
    *cmd = std::string(OPEN) + head + "\n" + std::string(CLOSE) + delim + "'\n" + input + delim;
    return true;
}

bool cron_percent_write(const std::string& cmd, std::string* text) {
    if (cmd.find_first_of("\r\n") == std::string::npos) {
        *text = escape(cmd, false);
        return true;
    }
    // The form cron_percent_read writes, else nothing a line can hold.
    const size_t nl = cmd.find('\n');
    if (cmd.rfind(OPEN, 0) != 0 || cmd.compare(nl + 1, CLOSE.size(), CLOSE) != 0) return false;
    const size_t from = nl + 1 + CLOSE.size(), quote = cmd.find("'\n", from);
    if (quote == std::string::npos) return false;
    const std::string delim = cmd.substr(from, quote - from);
    const std::string body = cmd.substr(quote + 2);
    if (delim.empty() || body.size() < delim.size() ||
        body.compare(body.size() - delim.size(), delim.size(), delim) != 0) {
        return false;
    }
    std::string input = body.substr(0, body.size() - delim.size());
    // The line break cron adds is left out, unless the input needs it: a
    // last line that ends in blanks keeps its "%", or the blanks would end
    // the crontab line, where a reader drops them.
    if (input.size() > 1 && input.back() == '\n' && input[input.size() - 2] != '\n' &&
        input[input.size() - 2] != ' ' && input[input.size() - 2] != '\t')
        input.pop_back();
    std::string line = escape(std::string_view(cmd).substr(OPEN.size(), nl - OPEN.size()), false) + "%" +
                       escape(input, true);
    // A carriage return left in the line would end it; a backslash before a
    // line break of the input, or a hand-made command in this shape, would
    // not read back the same.
    std::string again, why;
    if (line.find_first_of("\r\n") != std::string::npos || !cron_percent_read(line, &again, &why) ||
        again != cmd)
        return false;
    *text = std::move(line);
    return true;
}

std::string_view cron_percent_command(const std::string& cmd) {
    const size_t nl = cmd.find('\n');
    if (nl == std::string::npos || cmd.rfind(OPEN, 0) != 0) return cmd;
    return std::string_view(cmd).substr(OPEN.size(), nl - OPEN.size());
}

std::string cron_command_line(const std::string& cmd) {
    // Only a command with standard input: another one's '%' is the shell's.
    std::string text;
    if (cron_percent_command(cmd).size() != cmd.size() && cron_percent_write(cmd, &text)) return text;
    text.clear();
    for (char c : cmd) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else {
            text += c;
        }
    }
    return text;
}
