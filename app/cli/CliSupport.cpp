// Registry of brtx-cli commands, the output helpers and the help texts made from the commands'
// help data.
#include "app/cli/Commands.h"

#include "base/Language.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
QList<CliCommand>& Registry() {
    // Function-local so that registrars in other files may run in any order.
    static QList<CliCommand> commands;
    return commands;
}

void PrintError(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// Escapes text for a troff line: backslashes, hyphens (so they are not hyphenation points),
// and a leading dot or apostrophe.
QString Troff(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    out.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QLatin1String("\\&"));
    return out;
}
} // namespace

void RegisterCliCommand(const CliCommand& command) {
    QList<CliCommand>& commands = Registry();
    const auto at = std::lower_bound(
        commands.begin(), commands.end(), command,
        [](const CliCommand& a, const CliCommand& b) { return std::strcmp(a.name, b.name) < 0; });
    commands.insert(at, command);
}

const QList<CliCommand>& CliCommands() {
    return Registry();
}

const CliCommand* FindCliCommand(const QString& name) {
    for (const CliCommand& c : Registry())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
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

int CliUsageError(const char* command, const QString& reason) {
    QString text = QStringLiteral("brtx-cli %1: %2\n").arg(QLatin1String(command), reason);
    if (const CliCommand* c = FindCliCommand(QLatin1String(command)))
        text += QStringLiteral("Usage: brtx-cli [--home DIR] %1\n"
                               "(brtx-cli help %2 explains every option)\n")
                    .arg(QLatin1String(c->usage), QLatin1String(command));
    PrintError(text);
    return kCliUsage;
}

int CliUnknownArgument(const char* command, const QString& argument) {
    return CliUsageError(command,
                         argument.startsWith(QLatin1Char('-'))
                             ? QStringLiteral("%1 is not an option of %2").arg(argument, command)
                             : QStringLiteral("unexpected word \"%1\"").arg(argument));
}

QList<CliOption> CliRouteOptions() {
    return {
        {"--wifi ADDRESS", "link over Wi-Fi to the instrument at this IPv4 address (port 7575)"},
        {"--usb [SERIAL]",
         "link over USB through an adb port forward; SERIAL picks one of several devices"}};
}

QList<CliOption> CliListOptions() {
    return {{"--device ID", "the records of this device number"},
            {"--all-devices", "the records of every device (instead of --device)"},
            {"--start YYYY-MM-DD", "from this day on (default: the earliest)"},
            {"--end YYYY-MM-DD", "up to this day (default: the latest)"},
            {"--search TEXT", "only records with TEXT in one of their fields"},
            {"--mode MODE", "only tests of this mode: auto, manual, refuse or discontinued"},
            {"--min X", "only results of at least X"},
            {"--max Y", "only results of at most Y"},
            {"--over-limit 1|2", "only results at or over that legal limit of their unit "
                                 "([Global] Limits)"},
            {"--sort HEADING[:asc|:desc]", "order by the column with this heading"}};
}

CliOption CliCentralOption() {
    return {"--central [CONNINFO]",
            "read the list from the central store (default: central.conf of the data folder, "
            "else CentralUrl of Language.ini); a CONNINFO given here shows in the process "
            "list: prefer --central-file"};
}

CliOption CliCentralFileOption() {
    return {"--central-file FILE",
            "the central store whose connection line is in FILE (mode 0600, owned by you)"};
}

QString CliOptionName(const char* option) {
    QString name = QString::fromLatin1(option).section(QLatin1Char(' '), 0, 0);
    return name.section(QLatin1Char('='), 0, 0);
}

QString CliCommandHelp(const CliCommand& c) {
    QString text = QStringLiteral("Usage: brtx-cli [--home DIR] %1\n").arg(QLatin1String(c.usage));
    if (*c.summary)
        text += QLatin1Char('\n') + QString::fromUtf8(c.summary) + QLatin1Char('\n');
    if (!c.options.isEmpty()) {
        int width = 0;
        for (const CliOption& o : c.options)
            width = std::max(width, int(std::strlen(o.option)));
        text += QStringLiteral("\nOptions:\n");
        for (const CliOption& o : c.options)
            text += QStringLiteral("  %1  %2\n")
                        .arg(QString::fromLatin1(o.option), -width)
                        .arg(QString::fromUtf8(o.description));
    }
    if (*c.example)
        text += QStringLiteral("\nExample:\n  %1\n").arg(QString::fromUtf8(c.example));
    return text;
}

QString CliManSections() {
    QString page = QStringLiteral(".SH COMMANDS\n");
    for (const CliCommand& c : CliCommands()) {
        page += QStringLiteral(".SS %1\n.B brtx\\-cli %2\n.PP\n%3\n")
                    .arg(Troff(QLatin1String(c.name)), Troff(QLatin1String(c.usage)),
                         Troff(QString::fromUtf8(c.summary)));
        for (const CliOption& o : c.options)
            page +=
                QStringLiteral(".TP\n.B %1\n%2\n")
                    .arg(Troff(QLatin1String(o.option)), Troff(QString::fromUtf8(o.description)));
        if (*c.example)
            page += QStringLiteral(".PP\nExample:\n.RS\n.nf\n%1\n.fi\n.RE\n")
                        .arg(Troff(QString::fromUtf8(c.example)));
    }
    return page;
}

QString CliOptionList() {
    QString list;
    for (const CliCommand& c : CliCommands()) {
        QStringList names;
        for (const CliOption& o : c.options)
            if (const QString name = CliOptionName(o.option); !names.contains(name))
                names << name;
        list += QLatin1String(c.name) + QLatin1Char('\t') + names.join(QLatin1Char(' ')) +
                QLatin1Char('\n');
    }
    return list;
}
