#pragma once
// Helpers shared by all test programs.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

namespace brtxtest {

// A temporary program folder, named by BRTX_HOME for as long as the object lives.
// With withLanguage, the project's Language.ini is copied into it.
class TempHome {
public:
    explicit TempHome(bool withLanguage = true, const QString& subName = QString());
    ~TempHome();
    QString path() const { return m_path; }
    QString file(const QString& name) const { return m_path + "/" + name; }
    // Writes Language.ini with the given bytes (replaces the copied one).
    void writeLanguage(const QByteArray& bytes) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    QByteArray m_oldHome;
    bool m_hadHome = false;
};

// One run of brtx-cli from the program folder.
struct CliRun {
    int code = -1;   // exit code; -1 when it crashed or did not end
    QStringList out; // standard output lines (empty lines dropped)
    QString err;     // standard error
};
// Runs brtx-cli with the arguments and waits at most timeoutMs; a run that does not end is
// killed and recorded as a test failure.
CliRun runCli(const QStringList& args, int timeoutMs = 30000);

// The text of key (with one number filled in) in the Language.ini of the program folder in
// use now, read afresh: what a page or command made now shows.
QString GetText(const QString& key);
QString GetTextNumber(const QString& key, qint64 number);

// Runs the Qt event loop until cond() is true or timeoutMs passes; returns cond().
bool waitFor(const std::function<bool()>& cond, int timeoutMs = 5000);

// The project's source and program (build output) folders.
QString sourceDir();
QString programDir();

} // namespace brtxtest
