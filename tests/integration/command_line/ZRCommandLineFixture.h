// Runs the quorvel executable in a world of its own: HOME and every XDG folder in a fresh folder
// of the test sandbox.
#pragma once

#include "tests/support/ZRTestSupport.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <memory>

class ZRCommandLineFixture : public testing::Test
{
protected:
    // The folder (under the sandbox) that the runs of this test live in; emptied first.
    void startIn(const QString &folder)
    {
        root = ZRTestSupport::sandboxRoot() + folder;
        environment = ZRTestSupport::isolatedProcessEnvironment(root);
    }

    // "quorvel --headless ARGUMENTS", started.
    std::unique_ptr<QProcess> quorvel(const QStringList &arguments)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setProgram(QStringLiteral(QUORVEL_EXECUTABLE));
        process->setArguments(QStringList{QStringLiteral("--headless")} + arguments);
        process->start();
        return process;
    }

    // Asks a run to quit (as Ctrl-C does) and waits; kills it when it does not go.
    static void finish(QProcess &process)
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(10000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

    QString archivePath() const { return root + QStringLiteral("/data/Quorvel/Queue.plist"); }

    QString root;
    QProcessEnvironment environment;
};
