#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "common/globals.h"
#include "common/utils.h"

namespace fuzz {

namespace {

QString &Home()
{
    static QString home;
    return home;
}

} // namespace

void Init()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    static int argc = 1;
    static char name[] = "corvex-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // CORVEX_FUZZ_TMP (set by tools/fuzz.sh, which removes it afterwards, also after a crash);
    // otherwise memory-backed when the machine has it: the data store flushes every file.
    QString base = qEnvironmentVariable("CORVEX_FUZZ_TMP");
    if (base.isEmpty())
        base = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                                  : QDir::tempPath();
    static QTemporaryDir root(base + "/corvex-fuzz-XXXXXX");
    if (!root.isValid()) {
        std::fprintf(stderr, "no temporary folder for the fuzz target\n");
        std::abort();
    }
    Home() = root.path();
    const char *xdg[][2] = {{"HOME", ""},
                            {"XDG_DATA_HOME", "/data"},
                            {"XDG_CONFIG_HOME", "/config"},
                            {"XDG_CACHE_HOME", "/cache"},
                            {"XDG_RUNTIME_DIR", "/runtime"}};
    for (const auto &variable : xdg) {
        QString path = Home() + variable[1];
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(variable[0], path.toUtf8());
    }
    // The client reads this file at every connection; the targets never verify a certificate.
    qunsetenv("SSL_CERT_FILE");
    Utils = new TUtils;
    Utils->LogFileName = "/dev/null"; // log lines are formatted, but not kept
    Globals = new TGlobals;
    Globals->InitPaths();
}

std::string Folder(const std::string &name)
{
    QString path = Home() + "/" + QString::fromStdString(name);
    QDir().mkpath(path);
    return path.toStdString();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

std::string Text(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

std::vector<std::string> Pieces(const uint8_t *data, size_t size, size_t count)
{
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back() += char(data[i]);
    }
    if (pieces.size() < count)
        pieces.resize(count);
    return pieces;
}

} // namespace fuzz
