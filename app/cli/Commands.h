#pragma once
// brtx-cli sub-commands. Each command file registers its commands with a static
// CliRegistrar; main.cpp handles --home and dispatches by name.
//
// A command's help is data: its synopsis, a one-line summary, every option with one line of
// explanation and an example. `brtx-cli COMMAND --help`, `brtx-cli help COMMAND`, the man page
// (`brtx-cli help --man`) and the bash completion (`brtx-cli help --list`) are all made from it,
// and a test holds the packaged man page and completion to it. Adding an option means adding
// it to the parser and one {option, description} line here.
//
// Exit codes: 0 success, 1 failure, 2 usage error, 130 interrupted by SIGINT or SIGTERM. Status
// texts are printed as the looked-up text, one per line, on standard output.
#include <QList>
#include <QString>
#include <QStringList>

class CLanguage;

struct CliOption {
    const char* option;      // as typed, with its value: "--device ID", "--usb [SERIAL]"
    const char* description; // one line
};

struct CliCommand {
    const char* name;  // "info", "download", ...
    const char* usage; // the synopsis: one line, the words after "brtx-cli [--home DIR] "
    // texts: the program's texts (Language.ini of the folder in use); args: the words after
    // the command name.
    int (*run)(const CLanguage& texts, const QStringList& args);
    const char* summary = "";      // what the command does, one line
    QList<CliOption> options = {}; // every option the command takes
    const char* example = "";      // one command line, starting with "brtx-cli"
};

constexpr int kCliOk = 0;
constexpr int kCliFailed = 1;
constexpr int kCliUsage = 2;
constexpr int kCliCanceled = 130; // ended by SIGINT or SIGTERM

void RegisterCliCommand(const CliCommand& command);
const QList<CliCommand>& CliCommands(); // sorted by name
const CliCommand* FindCliCommand(const QString& name);

struct CliRegistrar {
    explicit CliRegistrar(const CliCommand& command) { RegisterCliCommand(command); }
};

// Prints one line to standard output (UTF-8) and flushes it.
void CliPrint(const QString& line);
// Prints the looked-up text of a status key (with one %d filled in when number >= 0).
void CliStatus(const CLanguage& texts, const QString& key, int number = -1);

// A usage error of `command`: prints "brtx-cli COMMAND: REASON" and the command's synopsis on
// standard error; returns kCliUsage. Every command reports its usage errors through this.
int CliUsageError(const char* command, const QString& reason);
// The same for an option the command does not take.
int CliUnknownArgument(const char* command, const QString& argument);

// The options of the link choice, (--wifi ADDRESS | --usb [SERIAL]), for every command that
// links to an instrument.
QList<CliOption> CliRouteOptions();

// The list options of the history page (--device ... --sort), for history and the exports.
QList<CliOption> CliListOptions();
// --central [CONNINFO].
CliOption CliCentralOption();
CliOption CliCentralFileOption();

// The help texts, made from the registered commands.
QString CliCommandHelp(const CliCommand& command); // COMMAND --help
QString CliOptionName(const char* option);         // "--device ID" -> "--device"
QString CliManSections();                          // troff: one subsection per command
QString CliOptionList();                           // "COMMAND\t--a --b" lines
