#pragma once
// The program's look: style, palette, fonts and the style sheet that gives every window,
// including pages built from plain Qt widgets, the same finished appearance.
class QApplication;
class QString;

// Makes the compiled-in artwork (":/brtx/...") available. Safe to call more than once.
void InitShellResources();

// Applies the program's look to the whole application.
void ApplyLook(QApplication& app);

// The program's style sheet text.
QString LookStyleSheet();
