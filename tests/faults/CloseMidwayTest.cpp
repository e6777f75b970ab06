// Ending the program in the middle of its work: closing the main window during a download and
// during a PDF conversion, and killing brtx-cli during a download. No crash, a sound database,
// no partial picture or report taken for a whole one, no child process left running, and the
// next run completes what was cut short. Addresses 127.0.90.9x.
#include "faults/FaultSupport.h"

#include "app/window/BRTXDlg.h"
#include "base/Language.h"
#include "device/page/FirstPage.h"
#include "history/page/History.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/types.h>

namespace {

// A simulator whose every record reply comes `delayMs` late, so a download takes a while.
std::unique_ptr<brtxsim::CSimulator> slowInstrument(const QString& address, int records,
                                                    int delayMs, QString* error) {
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = records;
    config.photoBytes = 4000;
    auto sim = std::make_unique<brtxsim::CSimulator>(config);
    brtxsim::Fault slow;
    slow.kind = brtxsim::FaultKind::Delay;
    slow.command = brtxsim::SimCommand::ReadRecord;
    slow.amount = delayMs;
    sim->AddFault(slow);
    if (!sim->Start(error))
        return nullptr;
    return sim;
}

int recordRequests(const brtxsim::CSimulator& sim) {
    int n = 0;
    for (const QByteArray& r : sim.Requests())
        n += faults::recordOf(r) != 0;
    return n;
}

// Children of this process running the given program (by the name the kernel shows).
QList<pid_t> childrenNamed(const QByteArray& name) {
    QList<pid_t> out;
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool numeric = false;
        const pid_t pid = e.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat("/proc/" + e + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray s = stat.readAll();
        const int open = s.indexOf('('), close = s.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = s.mid(close + 2).split(' ');
        if (s.mid(open + 1, close - open - 1) == name && rest.size() > 1 &&
            rest[1].toInt() == ::getpid() && rest[0] != "Z")
            out.append(pid);
    }
    return out;
}

bool running(pid_t pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = stat.readAll();
    return !s.mid(s.lastIndexOf(')') + 2).startsWith("Z");
}

TEST(CloseMidway, ClosingTheWindowDuringADownload) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.90";
    QString error;
    auto sim = slowInstrument(address, 40, 120, &error);
    ASSERT_TRUE(sim) << error.toStdString();

    auto dlg = std::make_unique<CBRTXDlg>();
    dlg->show();
    CFirstPage* page = dlg->DevicePage();
    ASSERT_TRUE(page);
    qobject_cast<QLineEdit*>(page->Control(CFirstPage::IdAddress))->setText(address);
    qobject_cast<QPushButton*>(page->Control(CFirstPage::IdWifiConnect))->click();
    ASSERT_TRUE(
        brtxtest::waitFor([&] { return !page->IsBusy() && page->Session().IsLinked(); }, 20000));
    qobject_cast<QPushButton*>(page->Control(CFirstPage::IdDownloadAll))->click();
    ASSERT_TRUE(brtxtest::waitFor([&] { return recordRequests(*sim) >= 6; }, 20000));
    ASSERT_TRUE(page->IsDownloading());

    // The user closes the window: the dialog ends and the program tears it down.
    QElapsedTimer t;
    t.start();
    dlg->close();
    dlg.reset();
    EXPECT_LT(t.elapsed(), 3000) << "closing waited for the whole download";
    QCoreApplication::processEvents(); // events the worker posted before it ended
    const int asked = recordRequests(*sim);
    EXPECT_LT(asked, 40);

    faults::StoreCheck check = faults::checkStore(home.path(), *sim);
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_GE(check.rows.size(), 5);

    // The next run completes the set.
    sim->ClearFaults();
    const faults::CliResult again =
        faults::runCli(home.path(), {"download", "--wifi", address, "--all"});
    EXPECT_EQ(again.exitCode, 0) << again.text().toStdString();
    check = faults::checkStore(home.path(), *sim);
    EXPECT_TRUE(check.problems.isEmpty()) << check.report().toStdString();
    EXPECT_TRUE(faults::complete(check, 1, 40));
}

TEST(CloseMidway, KillingTheToolDuringADownload) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.91";
    QString error;
    auto sim = slowInstrument(address, 30, 60, &error);
    ASSERT_TRUE(sim) << error.toStdString();

    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    cli.setProcessEnvironment(env);
    cli.start(faults::cliPath(), {"--home", home.path(), "download", "--wifi", address, "--all"});
    ASSERT_TRUE(cli.waitForStarted());
    ASSERT_TRUE(brtxtest::waitFor([&] { return recordRequests(*sim) >= 8; }, 20000));
    ::kill(pid_t(cli.processId()), SIGKILL); // no chance to clean up
    cli.waitForFinished(5000);

    // What a hard stop leaves: a sound database and only whole pictures under picture names
    // (a picture being written is still under its hidden temporary name).
    faults::StoreCheck check = faults::checkStore(home.path(), *sim);
    QStringList problems;
    for (const QString& p : check.problems)
        if (!p.contains("/.brtx-") && !p.contains("name .brtx-"))
            problems << p;
    EXPECT_EQ(check.integrity, "ok");
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();

    sim->ClearFaults();
    const faults::CliResult again =
        faults::runCli(home.path(), {"download", "--wifi", address, "--all"});
    EXPECT_EQ(again.exitCode, 0) << again.text().toStdString();
    check = faults::checkStore(home.path(), *sim);
    EXPECT_TRUE(faults::complete(check, 1, 30)) << check.report().toStdString();
}

TEST(CloseMidway, ClosingTheWindowDuringAPdfConversion) {
    brtxtest::TempHome home;
    const QString address = "127.0.90.92";
    brtxsim::SimConfig config;
    config.address = address;
    config.recordCount = 2;
    config.photoBytes = 2000;
    brtxsim::CSimulator sim(config);
    QString error;
    ASSERT_TRUE(sim.Start(&error)) << error.toStdString();
    ASSERT_EQ(faults::runCli(home.path(), {"download", "--wifi", address, "--all"}).exitCode, 0);

    // A converter that starts writing the PDF and then takes its time.
    const QString converter = home.file("wkhtmltopdf");
    {
        QFile f(converter);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\nfor last; do :; done\nprintf '%%PDF-1.4\\npartial' > \"$last\"\n"
                "exec sleep 60\n");
    }
    QFile::setPermissions(converter, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    auto dlg = std::make_unique<CBRTXDlg>();
    dlg->show();
    dlg->OnHistory();
    CHistory* history = dlg->HistoryPage();
    ASSERT_TRUE(history);
    qobject_cast<QPushButton*>(history->Control(HistoryIds::kQuery))->click();
    auto* list = qobject_cast<QTableView*>(history->Control(HistoryIds::kList));
    ASSERT_TRUE(list);
    ASSERT_TRUE(brtxtest::waitFor([&] { return history->ListRowCount() == 2; }, 5000));
    list->selectRow(0);
    ASSERT_TRUE(brtxtest::waitFor([&] { return history->SelectedRow() == 0; }, 2000));
    const QString record = history->ListCell(0, 1);
    qobject_cast<QPushButton*>(history->Control(HistoryIds::kExportPdf))->click();
    QList<pid_t> children;
    ASSERT_TRUE(
        brtxtest::waitFor([&] { return !(children = childrenNamed("sleep")).isEmpty(); }, 10000));
    ASSERT_TRUE(brtxtest::waitFor(
        [&] { return !QDir(home.file("pdf")).entryList({"*.pdf"}).isEmpty(); }, 5000));

    QElapsedTimer t;
    t.start();
    dlg->close();
    dlg.reset();
    EXPECT_LT(t.elapsed(), 5000);
    for (pid_t pid : children)
        EXPECT_FALSE(running(pid)) << "converter " << pid << " left running";
    // Neither the half-written PDF nor the report's HTML stays behind.
    EXPECT_TRUE(QDir(home.file("pdf")).entryList({"*.pdf"}).isEmpty());
    EXPECT_TRUE(QDir(home.path()).entryList({"*.html"}).isEmpty());

    // The next export builds the report afresh with the real converter.
    QFile::remove(converter);
    const QString device = sim.DeviceNumberText();
    const faults::CliResult pdf =
        faults::runCli(home.path(), {"export-pdf", "--device", device, "--record", record}, 120000);
    EXPECT_EQ(pdf.exitCode, 0) << pdf.text().toStdString();
    const QStringList pdfs = QDir(home.file("pdf")).entryList({"*.pdf"});
    ASSERT_EQ(pdfs.size(), 1);
    QFile out(home.file("pdf/" + pdfs[0]));
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_TRUE(out.readAll().contains("%%EOF"));
    out.close();

    // A PDF a hard stop left half-written is built again, not opened as it is.
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write("%PDF-1.4\npartial");
    out.close();
    const faults::CliResult again =
        faults::runCli(home.path(), {"export-pdf", "--device", device, "--record", record}, 120000);
    EXPECT_EQ(again.exitCode, 0) << again.text().toStdString();
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_TRUE(out.readAll().contains("%%EOF"));
}

} // namespace
