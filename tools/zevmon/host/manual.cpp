// zevmon's manual page and bash completion, from the command line.
#include "manual.h"

#include <fmt/format.h>

#include <cctype>
#include <regex>
#include <vector>

#include "common/cli.h"
#include "common/command.h"

namespace zevmon {

namespace {

// An option or an argument, as the page and the completion say it.
struct Word {
    std::string name;                // an argument's own name: "port"
    std::vector<std::string> names;  // every name an option is typed by
    std::vector<std::string> takes;  // what each word of its value is: "PORT", "1|2"; none for a flag
    std::string help;
    bool argument = false;
    bool required = false;
    bool repeats = false;  // an argument of more than one word
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (size_t at = 0; at <= text.size();) {
        size_t end = std::min(text.find(separator, at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
}

// "-h", "--help".
std::vector<std::string> namesOf(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& name : option.get_snames()) names.push_back("-" + name);
    for (const std::string& name : option.get_lnames()) names.push_back("--" + name);
    return names;
}

// The commands a person can type below `app`, in the table's order; one kept
// out of the help (the machine's own process) is kept out here too.
std::vector<const CLI::App*> commandsBelow(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_group().empty(); });
}

// The values a check lists: IsMember's "{98,nt}", a small Range's "[1 - 2]".
std::vector<std::string> listedValues(const std::string& typeName) {
    std::vector<std::string> values;
    std::smatch match;
    if (std::regex_search(typeName, match, std::regex(R"(\{([^}]*)\})"))) {
        values = split(match[1], ',');
    } else if (std::regex_search(typeName, match, std::regex(R"(\[(\d+) - (\d+)\])"))) {
        int low = std::stoi(match[1]), high = std::stoi(match[2]);
        for (int value = low; value <= high && high - low < 10; value++) values.push_back(std::to_string(value));
    }
    return values;
}

// What a value is, as its type name says: the name given, or the check's
// ("UINT:BYTES" is BYTES, "SECONDS:NONNEGATIVE" is SECONDS).
std::string shownType(const std::string& typeName) {
    std::vector<std::string> parts = split(typeName, ':');
    if (std::regex_match(parts[0], std::regex("TEXT|U?INT|FLOAT|NUMBER")))
        for (size_t i = 1; i < parts.size(); i++)
            if (std::regex_match(parts[i], std::regex("[A-Z][A-Z-]*"))) return parts[i];
    return parts[0];
}

// The options and arguments of a command (or of the top of the line), --help
// left to be said once.
std::vector<Word> wordsOf(const CLI::App& command) {
    std::vector<Word> words;
    for (const CLI::Option* option : command.get_options()) {
        if (option == command.get_help_ptr() || option->get_group().empty()) continue;
        Word word;
        word.argument = !option->nonpositional();
        word.help = option->get_description();
        word.required = option->get_required();
        if (word.argument) word.name = option->get_name(true);
        word.names = namesOf(*option);
        int count = option->get_items_expected_max();
        word.repeats = word.argument && count > 1;
        std::string type = option->get_type_name();
        std::vector<std::string> listed = listedValues(type);
        std::string shown = listed.empty() ? shownType(type) : joined(listed, "|");
        // "BYTES SECONDS": a word of the value each.
        if (count > 0) word.takes = split(shown, ' ');
        while (!word.takes.empty() && (int)word.takes.size() < count && !word.repeats)
            word.takes.push_back(word.takes.back());
        words.push_back(word);
    }
    return words;
}

std::string path(const std::string& above, const CLI::App& command) {
    return above.empty() ? command.get_name() : above + " " + command.get_name();
}

// ---- The page -------------------------------------------------------------

// Text as roff prints it: a backslash and a minus as themselves, and no line
// taken for a request.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        if (c == '\n') out += "\\&";
    }
    return text.empty() || (text[0] != '.' && text[0] != '\'') ? out : "\\&" + out;
}

std::string bold(const std::string& text) { return "\\fB" + roff(text) + "\\fR"; }
std::string italic(const std::string& text) { return "\\fI" + roff(text) + "\\fR"; }

std::string upper(std::string text) {
    for (char& c : text) c = (char)std::toupper((unsigned char)c);
    return text;
}

// "--level 1|2", "PORT", "[FILE]".
std::string usageOf(const Word& word) {
    if (word.argument) {
        std::string shown = italic(upper(word.name)) + (word.repeats ? "..." : "");
        return word.required ? shown : "[" + shown + "]";
    }
    std::string shown = bold(word.names.back());
    for (const std::string& value : word.takes) shown += " " + italic(value);
    return "[" + shown + "]";
}

// The options and arguments as a list of tagged paragraphs.
std::string wordList(const std::vector<Word>& words) {
    std::string out;
    for (const Word& word : words) {
        out += ".TP\n";
        if (word.argument) {
            out += italic(upper(word.name)) + "\n";
        } else {
            std::vector<std::string> names;
            for (const std::string& name : word.names) names.push_back(bold(name));
            std::string shown = joined(names, ", ");
            for (const std::string& value : word.takes) shown += " " + italic(value);
            out += shown + "\n";
        }
        out += roff(word.help) + "\n";
    }
    return out;
}

void commandSections(const CLI::App& app, const std::string& above, std::string& out) {
    for (const CLI::App* command : commandsBelow(app)) {
        std::string words = path(above, *command);
        std::vector<Word> list = wordsOf(*command);
        out += ".SS \"" + roff("zevmon " + words) + "\"\n";
        // Its options, its commands (which one that runs by itself may go
        // without), its arguments.
        std::string usage;
        for (const Word& word : list)
            if (!word.argument) usage += " " + usageOf(word);
        if (!commandsBelow(*command).empty())
            usage += command->get_require_subcommand_min() > 0 ? " " + italic(CommandWord)
                                                               : " [" + italic(CommandWord) + "]";
        for (const Word& word : list)
            if (word.argument) usage += " " + usageOf(word);
        if (!usage.empty()) out += bold("zevmon " + words) + usage + "\n.PP\n";
        std::string help = command->get_description();
        if (!help.empty()) help[0] = (char)std::toupper((unsigned char)help[0]);
        out += roff(help) + ".\n" + wordList(list);
        commandSections(*command, words, out);
    }
}

// What the table cannot say: how zevmon ends, where it keeps its machine.
const char PageEnd[] = R"roff(.SH EXIT STATUS
.TP
0
success
.TP
1
an operation failed; a sentence on standard error says why
.TP
2
a usage error: a word that names no command, an option a command does not take
.TP
130, 143, 129
a job cancelled with Ctrl\-C, SIGTERM or SIGHUP
.SH ENVIRONMENT
.TP
.B ZEVMON_MACHINE
the machine's folder when \fB\-\-machine\fR names none
.TP
.B XDG_STATE_HOME
without either, the machine is \fI$XDG_STATE_HOME/zevmon/machine\fR, by default
\fI~/.local/state/zevmon/machine\fR
.TP
.B ZEVMON_IDLE_SECONDS
how long the machine's process waits, idle with an empty queue, before it ends
(300)
.SH FILES
In the machine's folder:
.TP
.I registry.reg
the machine's registry, REGEDIT4, which a person may read and edit
.TP
.I devices.json
its USB printers, and whether each is plugged in
.TP
.I spool/
the print queue, three files a job
.TP
.I received/
what each printer received, a file a job beside a record of it
.TP
.I drives/
the machine's disks
.TP
.I personality
98 or nt, what the machine behaves as
.TP
.IR machine.lock ", " machine.sock ", " machine.log
the machine's running process: its lock, its socket, its log
)roff";

// ---- The completion -------------------------------------------------------

// A word in single quotes for bash.
std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// One line of the completion's table: the command's words, its commands, its
// options (each with "=" and what its value's words are, joined by ",", when
// it takes one) and what its arguments are.
void completionRows(const CLI::App& command, const std::string& words, std::string& out) {
    std::vector<std::string> commands, options, arguments;
    for (const CLI::App* sub : commandsBelow(command)) commands.push_back(sub->get_name());
    std::vector<Word> list = wordsOf(command);
    if (const CLI::Option* help = command.get_help_ptr()) {
        list.insert(list.begin(), Word());
        list.front().names = namesOf(*help);
    }
    for (const Word& word : list) {
        std::string takes = joined(word.takes, ",");
        if (word.argument) arguments.push_back(takes + (word.repeats ? "..." : ""));
        for (const std::string& name : word.names) options.push_back(name + (takes.empty() ? "" : "=" + takes));
    }
    out += fmt::format("    {}) commands={} options={} arguments={} ;;\n", shellQuoted(words),
                       shellQuoted(joined(commands, " ")), shellQuoted(joined(options, " ")),
                       shellQuoted(joined(arguments, " ")));
    for (const CLI::App* sub : commandsBelow(command)) completionRows(*sub, path(words, *sub), out);
}

// The script's steps, the same for every table. A value's kind is offered as
// the kinds in command.h say; the names come from zevmon, as JSON, on the
// machine the line names.
const char CompletionSteps[] = R"bash(
# The words as typed: bash splits the line at ':' and '=' too, and a port
# such as NUL: or an option such as --level=2 is one word here.
_zevmon_line() {
    local line=${COMP_LINE:0:COMP_POINT} i w glued
    words=()
    for ((i = 0; i <= COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        glued=1
        while [[ $line == [[:space:]]* ]]; do line=${line:1}; glued=''; done
        line=${line:${#w}}
        if [[ $glued && $i -gt 0 && ($w == [=:]* || ${words[-1]} == *[=:]) ]]; then
            words[-1]+=$w
        else
            words+=("$w")
        fi
    done
    cword=$((${#words[@]} - 1))
}

# A word without its shell quoting: 'Office P and Office\ P are Office P.
_zevmon_unquoted() {
    local w=$1 out='' i
    for ((i = 0; i < ${#w}; i++)); do
        case ${w:i:1} in
        \\) i=$((i + 1)); out+=${w:i:1} ;;
        \' | \") ;;
        *) out+=${w:i:1} ;;
        esac
    done
    printf '%s' "$out"
}

# The candidates on standard input, one a line, that begin with the word;
# never at the end of a pipe, whose subshell would keep the reply.
_zevmon_offer() {
    local name
    while IFS= read -r name; do
        [[ $name == "$typed"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
    done
}

# The field of every object of the JSON that zevmon writes for these words.
_zevmon_names() {
    local field=$1
    shift
    "${words[0]}" "${machine[@]}" --quiet --wait 5 "$@" 2>/dev/null |
        sed -n 's/^ *"'"$field"'": "\(.*\)",\{0,1\}$/\1/p' | sed 's/\\"/"/g; s/\\\\/\\/g'
}

# What is offered for a word of this kind.
_zevmon_values() {
    case $1 in
    @PORT@) _zevmon_offer < <(_zevmon_names name ports --level 1 --json) ;;
    @PRINTER@) _zevmon_offer < <(_zevmon_names name printers --json) ;;
    @USB@) _zevmon_offer < <(_zevmon_names portName usb list --json) ;;
    @FILE@) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$typed") ;;
    @DIR@) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$typed") ;;
    @COMMAND@)
        _zevmon_words "${given[*]}"
        _zevmon_offer < <(printf '%s\n' $commands) ;;
    *'|'*) _zevmon_offer < <(printf '%s\n' ${1//|/ }) ;;
    esac
}

# What an option's value is, word by word ("BYTES,SECONDS"); nothing for a flag.
_zevmon_takes() {
    local option
    for option in $options $globals; do
        [[ $option == "$1"=* ]] && { printf '%s' "${option#*=}"; return; }
    done
}

_zevmon() {
    local words cword commands options arguments globals given=() machine=() i w value parts kind=''
    _zevmon_line
    local cur=${words[cword]} at=''
    _zevmon_words ''
    globals=$options
    for ((i = 1; i < cword; i++)); do
        w=${words[i]}
        if [[ $w == --machine=* ]]; then
            machine=(--machine "$(_zevmon_unquoted "${w#*=}")")
        elif [[ $w == -?* ]]; then
            [[ $w == *=* ]] && continue
            value=$(_zevmon_takes "$w")
            [[ -z $value ]] && continue
            IFS=, read -ra parts <<<"$value"
            if ((i + ${#parts[@]} >= cword)); then
                kind=${parts[cword - i - 1]}
                break
            fi
            [[ $w == --machine ]] && machine=(--machine "$(_zevmon_unquoted "${words[i + 1]}")")
            i=$((i + ${#parts[@]}))
        elif [[ " $commands " == *" $w "* ]]; then
            at=${at:+$at }$w
            _zevmon_words "$at"
        else
            given+=("$w")
        fi
    done
    machine=("${machine[@]/#\~/$HOME}")
    COMPREPLY=()
    if [[ -z $kind && $cur == --*=* ]]; then
        value=$(_zevmon_takes "${cur%%=*}")
        kind=${value%%,*}
        cur=${cur#*=}
    fi
    local typed
    typed=$(_zevmon_unquoted "$cur")
    if [[ -n $kind ]]; then
        _zevmon_values "$kind"
    elif [[ $cur == -* ]]; then
        _zevmon_offer < <(printf '%s\n' $options $globals | sed 's/=.*//' | sort -u)
    elif [[ -n $commands ]]; then
        _zevmon_offer < <(printf '%s\n' $commands)
    else
        read -ra parts <<<"$arguments"
        kind=${parts[${#given[@]}]}
        [[ -z $kind && ${#parts[@]} -gt 0 && ${parts[-1]} == *... ]] && kind=${parts[-1]}
        _zevmon_values "${kind%...}"
    fi
    # Bash puts the reply in place of what follows the word's last ':'.
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local glued=${cur%"${cur##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$glued"}")
    fi
}

complete -F _zevmon zevmon
)bash";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

std::string manualPage(const CLI::App& app) {
    std::string out = fmt::format(".TH ZEVMON 1 \"\" \"zevmon {}\" \"User Commands\"\n", versionText());
    out += ".SH NAME\nzevmon \\- drive the ZEVURUZI.DLL port monitor as the print spooler would\n";
    out += ".SH SYNOPSIS\n" + bold("zevmon") + " [" + italic("GLOBAL OPTIONS") + "] " + italic("COMMAND") + " [" +
           italic("OPTIONS") + "] [" + italic("ARGUMENTS") + "]\n.br\n" + bold("zevmon help") + " [" +
           italic("COMMAND") + "]\n";
    std::string description = app.get_description();
    if (description.rfind("zevmon: ", 0) == 0) description = "zevmon " + description.substr(8);
    out += ".SH DESCRIPTION\n" + roff(description) + "\n.PP\n" +
           roff("Every command has --help, which zevmon help COMMAND shows as well. The global options may come "
                "before or after the command. Standard output carries only the result: a table, JSON, bytes, or "
                "the sentence that says what was done; notices, message boxes and progress go to standard error.") +
           "\n";
    out += ".SH COMMANDS\n";
    commandSections(app, "", out);
    out += ".SH GLOBAL OPTIONS\n" + wordList(wordsOf(app));
    return out + PageEnd;
}

std::string bashCompletion(const CLI::App& app) {
    std::string out = "# bash completion for zevmon, written by zevmon from its own table of commands.\n\n"
                      "# A command's words: sets commands, options and arguments.\n_zevmon_words() {\n    case $1 in\n";
    completionRows(app, "", out);
    out += "    *) commands='' options='' arguments='' ;;\n    esac\n}\n";
    std::string steps = CompletionSteps;
    for (auto [kind, word] : {std::pair{"@PORT@", PortWord}, {"@PRINTER@", PrinterWord}, {"@USB@", UsbPrinterWord},
                              {"@FILE@", FileWord}, {"@DIR@", FolderWord}, {"@COMMAND@", CommandWord}})
        steps = replaced(steps, kind, word);
    return out + steps;
}

}  // namespace zevmon
