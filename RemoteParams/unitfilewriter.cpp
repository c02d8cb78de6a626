// Writes the systemd unit of the installed service program: the unit that
// "paramserver -i" writes when it runs from the installed path as root, made
// by the same code from the same template, so that a package installs exactly
// that.
//   paramserver-unit PROGRAM_PATH OUTPUT_FILE

#include "receiverservice.h"
#include "systemdunitfile.h"

#include <QSaveFile>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM_PATH OUTPUT_FILE\n", argc > 0 ? argv[0] : "");
        return 2;
    }
    char* serviceArguments[] = {argv[0], nullptr};
    const ReceiverService service(1, serviceArguments);

    QtServiceInstallRequest request;
    request.name = service.serviceName();
    request.description = service.serviceDescription();
    request.startupType = service.startupType();
    request.executablePath = QString::fromLocal8Bit(argv[1]);
    const QByteArray text = SystemdUnitFile::text(request);
    if (text.isEmpty()) {
        std::fprintf(stderr, "%s: no unit can be written for %s\n", argv[0], argv[1]);
        return 1;
    }
    QSaveFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        std::fprintf(stderr, "%s: %s\n", argv[0], qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
