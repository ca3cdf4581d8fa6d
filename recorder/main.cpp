#include "app/commandline.h"
#include "app/startup.h"
#include "app/terminationsignals.h"
#include "history/historyrecorder.h"
#include "recorder/logwriter.h"
#include "recorder/recordercommandline.h"
#include "recorder/recorderservice.h"

#include <QCoreApplication>
#include <QDir>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
    const RecorderCommandLine line = readRecorderCommandLine(argumentList(argc, argv));
    if (!line.start) {
        std::fputs(line.standardOutput.toLocal8Bit().constData(), stdout);
        std::fputs(line.standardError.toLocal8Bit().constData(), stderr);
        return line.exitStatus;
    }

    // The SQL drivers are plug-ins: the program's own folder may hold them, never the working directory.
    QCoreApplication::setLibraryPaths(pluginSearchPaths(QCoreApplication::libraryPaths(), programDirectory()));
    QCoreApplication app(argc, argv);

    const LogWriter writer;
    TerminationSignals termination;
    RecorderService recorder(line.settingsFile, HistoryRecorder::fileNameIn(QDir::currentPath()));
    QObject::connect(&recorder, &RecorderService::logged, &recorder,
                     [&writer](LogPriority priority, const QString &text) { writer.write(priority, text); });
    QObject::connect(&termination, &TerminationSignals::received, &app, [&writer, &recorder](int signalNumber) {
        writer.write(
            LogPriority::Notice,
            QStringLiteral("stopping on %1").arg(QLatin1String(signalNumber == SIGTERM ? "SIGTERM" : "SIGINT")));
        recorder.stop();
        QCoreApplication::quit();
    });
    recorder.start();
    return app.exec();
}
