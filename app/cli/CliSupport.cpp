// Registry of brtx-cli commands and the two output helpers.
#include "app/cli/Commands.h"

#include "base/Language.h"

#include <cstdio>

namespace {
QList<CliCommand>& Registry() {
    // Function-local so that registrars in other files may run in any order.
    static QList<CliCommand> commands;
    return commands;
}
} // namespace

void RegisterCliCommand(const CliCommand& command) {
    Registry().append(command);
}

const QList<CliCommand>& CliCommands() {
    return Registry();
}

void CliPrint(const QString& line) {
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CliStatus(const CLanguage& texts, const QString& key, int number) {
    QString text = number >= 0 ? texts.GetTextNumber(key, number) : texts.GetText(key);
    // Without a text (no Language.ini, or a key missing from it) the key itself still tells
    // the operator what happened.
    if (text.isEmpty())
        text = key;
    CliPrint(text);
}
