#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

// Sends the process's standard output and standard error to temporary files
// while it lives; out() and err() hold what was written after it ends.
class OutputCapture
{
public:
    OutputCapture()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        outFile.open();
        errFile.open();
        savedOut = dup(fileno(stdout));
        savedErr = dup(fileno(stderr));
        dup2(outFile.handle(), fileno(stdout));
        dup2(errFile.handle(), fileno(stderr));
    }

    ~OutputCapture() { finish(); }

    void finish()
    {
        if (savedOut < 0) {
            return;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(savedOut, fileno(stdout));
        dup2(savedErr, fileno(stderr));
        close(savedOut);
        close(savedErr);
        savedOut = savedErr = -1;
        outFile.seek(0);
        errFile.seek(0);
        outText = outFile.readAll();
        errText = errFile.readAll();
    }

    QByteArray out()
    {
        finish();
        return outText;
    }

    QByteArray err()
    {
        finish();
        return errText;
    }

private:
    QTemporaryFile outFile;
    QTemporaryFile errFile;
    int savedOut = -1;
    int savedErr = -1;
    QByteArray outText;
    QByteArray errText;
};
