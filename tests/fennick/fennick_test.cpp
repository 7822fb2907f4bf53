// The alias manager: the real program's start (lock and parameter file) and its window driven
// offscreen, down to the monitor's alias test reading the list the window saved.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/alias.h"
#include "common/globals.h"
#include "common/platform/process.h"
#include "common/plugins.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "fennick/aliasfrm.h"
#include "fennick/edittextfrm.h"
#include "support/keyboard.h"
#include "support/testenv.h"

namespace {

// Answers the next text entry dialogs in turn with texts (each one applied).
void AnswerTextDialogs(std::vector<std::string> texts)
{
    if (texts.empty())
        return;
    QTimer::singleShot(20, [texts]() mutable {
        auto *dialog = qobject_cast<TEditTextFrm *>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog->Accepted()) {
            AnswerTextDialogs(texts); // not open yet, or the last one is still closing
            return;
        }
        dialog->LMDeText->setText(QString::fromStdString(texts.front()));
        dialog->LMDpfApply->Click();
        texts.erase(texts.begin());
        AnswerTextDialogs(texts);
    });
}

std::vector<std::string> ListTexts(const TAliasFrm &window)
{
    std::vector<std::string> texts;
    for (int i = 0; i < window.clbAlais->count(); ++i)
        texts.push_back(window.clbAlais->item(i)->text().toStdString() +
                        (window.clbAlais->item(i)->checkState() == Qt::Checked ? "+" : "-"));
    return texts;
}

TListRow AliasTestedMailbox(const std::string &inbox)
{
    TListRow row;
    row.Caption = "user";
    row.SetCell(mcInboxPath, inbox);
    row.SetCell(mcAliasActive, "1");
    return row;
}

TEST(AliasManager, EditsAndSavesOnlyAfterApply)
{
    const std::string inbox = testenv::MakeScratchDir("inbox");
    const std::string file = AliasFilePath(inbox);
    const std::string original = "sales=1\r\nold=0\r\n";
    testenv::WriteFile(file, original);
    std::vector<std::string> messages;

    {
        TAliasFrm window;
        window.ShowMessage = [&](const std::string &text) { messages.push_back(text); };
        ASSERT_TRUE(window.Activate(inbox));
        window.show();
        EXPECT_EQ(ListTexts(window), (std::vector<std::string>{"sales+", "old-"}));
        EXPECT_FALSE(PButtons->IsAvailable(window.LMDpfApply));
        // A change without Apply is not saved: the file stays byte for byte as it was.
        window.clbAlais->item(1)->setCheckState(Qt::Checked);
        EXPECT_TRUE(PButtons->IsAvailable(window.LMDpfApply));
        // The keyboard alone works the window; Esc closes it as Close does.
        EXPECT_EQ(keyboard::ControlsTabMisses(&window), std::vector<std::string>{});
        QTest::keyClick(&window, Qt::Key_Escape);
        EXPECT_FALSE(window.isVisible());
    }
    EXPECT_EQ(testenv::ReadFile(file), original);

    {
        TAliasFrm window;
        window.ShowMessage = [&](const std::string &text) { messages.push_back(text); };
        ASSERT_TRUE(window.Activate(inbox));
        window.show();
        // Empty texts and texts with "=" are refused and asked again.
        AnswerTextDialogs({"a=b", "  ", "New"});
        window.LMDpfAdd->Click();
        EXPECT_EQ(messages.size(), 2u);
        window.clbAlais->item(0)->setSelected(true);
        AnswerTextDialogs({"Sales"});
        window.LMDpfEdit->Click();
        window.LMDpfApply->Click();
        EXPECT_TRUE(window.Applied);
        EXPECT_FALSE(PButtons->IsAvailable(window.LMDpfApply));
        // Changes after Apply go with it; the close box saves.
        window.clbAlais->item(1)->setSelected(true);
        window.LMDpfRemove->Click();
        window.clbAlais->item(1)->setCheckState(Qt::Checked);
        window.close();
        EXPECT_FALSE(window.isVisible());
    }
    EXPECT_EQ(testenv::ReadFile(file), "Sales=1\nNew=1\n");

    // The monitor's alias test reads what was saved.
    TListRow mailbox = AliasTestedMailbox(inbox);
    EXPECT_TRUE(AliasMatches("Sales Team <orders@x.example>", &mailbox));
    EXPECT_TRUE(AliasMatches("new@x.example", &mailbox));
    EXPECT_FALSE(AliasMatches("old@x.example", &mailbox));
}

TEST(AliasManager, ASaveThatFailsKeepsTheWindowOpen)
{
    const std::string inbox = testenv::MakeScratchDir("inbox");
    std::vector<std::string> messages;
    TAliasFrm window;
    window.ShowMessage = [&](const std::string &text) { messages.push_back(text); };
    ASSERT_TRUE(window.Activate(inbox));
    EXPECT_EQ(testenv::ReadFile(window.AliasFile), ""); // created empty
    window.show();
    AnswerTextDialogs({"sales"});
    window.LMDpfAdd->Click();
    window.LMDpfApply->Click();

    // A folder in the file's place makes the save fail.
    ASSERT_TRUE(QDir().remove(QString::fromStdString(window.AliasFile)));
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(window.AliasFile)));
    window.close();
    EXPECT_TRUE(window.isVisible());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(window.AliasFile), std::string::npos);

    ASSERT_TRUE(QDir().rmdir(QString::fromStdString(window.AliasFile)));
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(testenv::ReadFile(window.AliasFile), "sales=0\n");
}

// A list that is there but cannot be read (a folder, a link to itself) is refused as the rules
// manager refuses one, and left as it is: saving over it would empty it.
TEST(AliasManager, RefusesAListItCannotRead)
{
    for (bool folder : {true, false}) {
        const std::string inbox = testenv::MakeScratchDir("inbox");
        const std::string file = AliasFilePath(inbox);
        ASSERT_EQ(folder ? ::mkdir(file.c_str(), 0700) : ::symlink(file.c_str(), file.c_str()), 0);
        std::vector<std::string> messages;
        TAliasFrm window;
        window.ShowMessage = [&](const std::string &text) { messages.push_back(text); };
        EXPECT_FALSE(window.Activate(inbox));
        EXPECT_EQ(messages, std::vector<std::string>{"Can't Read:\n" + file});
        const QFileInfo left(QString::fromStdString(file));
        EXPECT_TRUE(folder ? left.isDir() : left.isSymLink());
    }
}

// The real program as the monitor starts it (through the registry, which writes the parameter
// file and waits): it opens the list of the inbox folder given (creating it), a second copy
// started meanwhile ends at once, and without its parameter file it ends at once, saying why.
TEST(AliasManagerProgram, StartedByTheMonitorWithItsParameterAndOneCopyOnly)
{
    const std::string program = testenv::ProgramPath("fennick");
    const std::string parameterFile = ParameterFileFor(program);
    const std::string inbox = testenv::MakeScratchDir("inbox");
    TGlobals globals;
    globals.PlugIns->ProgramFolder = std::string(CORVEX_BIN_DIR) + "/";
    globals.PlugIns->LoadExtensions("", globals.ExtensionList);

    bool secondEndedAtOnce = false;
    std::string parameterSeen;
    QElapsedTimer clock;
    clock.start();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        // A program that never opens its list is ended too, so the wait cannot hang.
        if (!QFile::exists(QString::fromStdString(AliasFilePath(inbox))) && clock.elapsed() < 10000)
            return;
        watch.stop();
        parameterSeen = testenv::ReadFile(parameterFile);
        QProcess second;
        second.start(QString::fromStdString(program), {QString::fromStdString(parameterFile)});
        secondEndedAtOnce = second.waitForFinished(5000) && second.exitCode() == 0;
        for (const platform::TProcessEntry &entry : platform::ListProcesses())
            if (platform::ProcessExecutablePath(entry.Pid) == program)
                platform::EndProcess(entry.Pid);
    });
    watch.start(50);
    EXPECT_TRUE(globals.StartFennick(inbox));
    EXPECT_EQ(parameterSeen, inbox + "\n");
    EXPECT_TRUE(secondEndedAtOnce);
    EXPECT_EQ(testenv::ReadFile(AliasFilePath(inbox)), "");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(parameterFile)));

    QProcess withoutParameter;
    withoutParameter.start(QString::fromStdString(program), {});
    EXPECT_TRUE(withoutParameter.waitForFinished(5000));
    EXPECT_EQ(withoutParameter.exitCode(), 0);
    EXPECT_TRUE(withoutParameter.readAllStandardError().contains(
        "is started by the Corvex monitor: open the mailbox in the monitor's mailbox editor"));
}

// The real program with its "Can't Read:" box open, before its main loop ever ran: a second
// copy whose environment names no runtime folder (cron, su, ssh) ends at once, as the data root
// has its copy already, and SIGTERM (a logout, a service manager) ends the first.
TEST(AliasManagerProgram, OneCopyPerDataRootAndTermSignalEndsItWhileItsMessageBoxIsOpen)
{
    // A copy of the program keeps its parameter file and debug log to this test.
    const std::string folder = testenv::MakeScratchDir("program");
    const std::string program = folder + "/fennick";
    ASSERT_TRUE(QFile::copy(QString::fromStdString(testenv::ProgramPath("fennick")),
                            QString::fromStdString(program)));
    const std::string inbox = testenv::MakeScratchDir("inbox");
    ASSERT_EQ(::mkdir(AliasFilePath(inbox).c_str(), 0700), 0); // there, but not readable
    testenv::WriteFile(ParameterFileFor(program), inbox + "\n");

    QProcess fennick;
    fennick.start(QString::fromStdString(program), {});
    ASSERT_TRUE(fennick.waitForStarted(5000));
    ASSERT_TRUE(testenv::WaitUntil([&] {
        return testenv::ReadFile(folder + "/Debug.txt").find("Can't read alias list") !=
               std::string::npos;
    })) << "the program never refused the list";

    QProcessEnvironment withoutRuntimeFolder = QProcessEnvironment::systemEnvironment();
    withoutRuntimeFolder.remove("XDG_RUNTIME_DIR");
    withoutRuntimeFolder.insert("TMPDIR", QString::fromStdString(testenv::MakeScratchDir("tmp")));
    QProcess second;
    second.setProcessEnvironment(withoutRuntimeFolder);
    second.start(QString::fromStdString(program), {});
    EXPECT_TRUE(second.waitForFinished(5000)) << "two copies ran on one data root";

    ::kill(pid_t(fennick.processId()), SIGTERM);
    EXPECT_TRUE(fennick.waitForFinished(5000)) << "the program outlived SIGTERM";
    EXPECT_EQ(fennick.exitStatus(), QProcess::NormalExit);
}

} // namespace
