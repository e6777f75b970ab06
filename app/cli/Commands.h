#pragma once
// brtx-cli sub-commands. Each command file registers its commands with a static
// CliRegistrar; main.cpp handles --home and dispatches by name.
//
// Exit codes: 0 success, 1 failure, 2 usage error, 130 interrupted by SIGINT or SIGTERM. Status
// texts are printed as the looked-up text, one per line, on standard output.
#include <QString>
#include <QStringList>

class CLanguage;

struct CliCommand {
    const char* name;  // "info", "download", ...
    const char* usage; // one line, shown by `brtx-cli --help`
    // texts: the program's texts (Language.ini of the folder in use); args: the words after
    // the command name.
    int (*run)(const CLanguage& texts, const QStringList& args);
};

constexpr int kCliOk = 0;
constexpr int kCliFailed = 1;
constexpr int kCliUsage = 2;
constexpr int kCliCanceled = 130; // ended by SIGINT or SIGTERM

void RegisterCliCommand(const CliCommand& command);
const QList<CliCommand>& CliCommands();

struct CliRegistrar {
    explicit CliRegistrar(const CliCommand& command) { RegisterCliCommand(command); }
};

// Prints one line to standard output (UTF-8) and flushes it.
void CliPrint(const QString& line);
// Prints the looked-up text of a status key (with one %d filled in when number >= 0).
void CliStatus(const CLanguage& texts, const QString& key, int number = -1);
