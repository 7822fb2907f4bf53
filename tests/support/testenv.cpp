#include "support/testenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QUuid>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace testenv {

static QString g_home;

void UsePrivateHome(const QString &root)
{
    g_home = root;
    const char *names[][2] = {{"HOME", "home"},
                              {"XDG_DATA_HOME", "home/.local/share"},
                              {"XDG_CONFIG_HOME", "home/.config"},
                              {"XDG_CACHE_HOME", "home/.cache"},
                              {"XDG_RUNTIME_DIR", "runtime"}};
    for (auto &entry : names) {
        QString path = root + "/" + entry[1];
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(entry[0], path.toUtf8());
    }
    QDir().mkpath(root + "/home/Documents");
    qputenv("XDG_DOCUMENTS_DIR", (root + "/home/Documents").toUtf8());
}

std::string MakeScratchDir(const std::string &hint)
{
    QString base = g_home.isEmpty() ? QDir::tempPath() : g_home;
    QString path = base + "/" + QString::fromStdString(hint) + "-" +
                   QUuid::createUuid().toString(QUuid::Id128).left(8);
    QDir().mkpath(path);
    return path.toStdString();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ProgramPath(const std::string &name)
{
    return std::string(CORVEX_BIN_DIR) + "/" + name;
}

unsigned FileMode(const std::string &path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 ? unsigned(info.st_mode & 0777) : 0;
}

bool WaitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (done())
            return true;
        QThread::msleep(20);
    }
    return done();
}

std::string FixtureValue(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

bool FixturesAvailable()
{
    return !FixtureValue("CORVEX_POP3_PORT").empty();
}

std::string InstallRecordingMailProgram()
{
    const std::string apps = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/applications";
    QDir().mkpath(QString::fromStdString(apps));
    const std::string record = MakeScratchDir("mailer") + "/args";
    const std::string script = apps + "/recordmail.sh";
    WriteFile(script, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + "'\n");
    ::chmod(script.c_str(), 0700);
    WriteFile(apps + "/recordmail.desktop", "[Desktop Entry]\nName=Record Mail\nExec=" + script +
                                                " %f\nMimeType=x-scheme-handler/mailto;\n");
    WriteFile(qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=recordmail.desktop\n");
    return record;
}

} // namespace testenv
