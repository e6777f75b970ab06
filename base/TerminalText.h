#pragma once
// Text from records (an instrument, a file, a server) written to an operator's terminal: its
// control characters become visible escapes, so a record cannot move the cursor, clear the
// screen or retitle the window. Files the program writes keep the exact bytes; this is for
// terminal lines and status texts only.
#include <QString>
#include <QStringView>

// Every control character of text as "\xNN" (its code in two lower-case hex digits): C0
// (below 0x20), DEL (0x7f) and C1 (0x80..0x9f). With keepTab a TAB stays as it is (where the
// caller means it as a separator); a backslash is left alone, so ordinary text reads as before.
QString EscapeControls(QStringView text, bool keepTab = false);
// True when text holds a character EscapeControls would change.
bool HasControls(QStringView text, bool keepTab = false);
// Appends EscapeControls(text, keepTab) to out (no copy when nothing needs escaping).
void AppendEscaped(QString& out, QStringView text, bool keepTab = false);
// True for the characters EscapeControls writes as "\xNN" (TAB included).
inline bool IsTerminalControl(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}
