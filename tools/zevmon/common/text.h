// Names as the machine keeps them and as zevmon shows them. Registry strings
// are 8-bit text in the machine's ANSI code page: zevmon keeps them as those
// bytes and converts them only where it writes them out, so that no byte ever
// makes a command fail. JSON is always UTF-8. The simulated machine's code
// page is Windows-1252; zevmon.exe asks the system for its own.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zevmon {

std::string ansiToUtf8(const std::string& text);
// A word typed on the host's command line (UTF-8) in the machine's code page;
// a character it lacks becomes '?', as Windows converts, and is added to
// `lacking` as typed (once each, a space between); a word that is not UTF-8
// is taken as the bytes it already is.
std::string utf8ToAnsi(const std::string& text, std::string* lacking = nullptr);
// A name typed on the command line as the machine keeps it, by what it is
// for. zevmon.exe's command line is in the code page already: there each is
// the word as it is.
// - one that finds something, `what` ("printer"): a name with a character the
//   code page lacks names nothing of the machine, which the Failure says;
// - one that makes something named again later, `what` ("a port's name"):
//   refused likewise, since its '?' would name it as it was never typed;
// - one that is only kept, `what` ("The document's name"): its '?' are said
//   in a notice.
std::string nameToFind(const std::string& word, const std::string& what);
std::string nameToMake(const std::string& word, const std::string& what);
std::string nameToKeep(const std::string& word, const std::string& what);
// A name as the terminal shows it: UTF-8 on the host; the bytes themselves on
// Windows, whose console has a code page of its own; a control character as
// its C escape (\n, \x1b).
std::string shown(const std::string& text);
// A text of several lines shown so: its own line breaks kept, each line shown.
std::string shownLines(const std::string& text);
// The value with every text in it converted, dumped with two-space indents.
std::string jsonOutput(const nlohmann::json& value);

// The columns a text of shown() takes, and the text padded to `width` of them.
size_t shownWidth(const std::string& text);
std::string padded(const std::string& text, size_t width);
// The text in at most `width` columns: one wider is cut, an ellipsis at its end.
std::string shortened(const std::string& text, size_t width);

// A word as the user would type it again: quoted where a shell would split it.
std::string shellWord(const std::string& word);
// The text ended by a full stop, as a sentence said on its own.
std::string sentence(const std::string& text);

}  // namespace zevmon
