#include "support/delayproxy.h"

TDelayProxy::~TDelayProxy()
{
    if (Process.state() != QProcess::NotRunning) {
        Process.kill();
        Process.waitForFinished();
    }
}

bool TDelayProxy::Start(int target, int rttMs)
{
    Process.start("python3", {QString(CORVEX_SOURCE_DIR) + "/bench/delayproxy.py", "0",
                              QString::number(target), QString::number(rttMs / 2.0)});
    if (!Process.waitForStarted(5000))
        return false;
    while (!Process.canReadLine())
        if (!Process.waitForReadyRead(10000))
            return false;
    const QByteArray line = Process.readLine().trimmed(); // "port N"
    Port_ = line.startsWith("port ") ? line.mid(5).toInt() : 0;
    return Port_ > 0;
}

bool TDelayProxy::Count(TProxyCount &count)
{
    Process.write("count\n");
    while (!Process.canReadLine())
        if (!Process.waitForReadyRead(10000))
            return false;
    // "connections N trips T hello H"
    const QList<QByteArray> words = Process.readLine().trimmed().split(' ');
    if (words.size() != 6)
        return false;
    count.Connections = words[1].toInt();
    count.Trips = words[3].toInt();
    count.HelloBytes = words[5].toInt();
    return true;
}
