// The bind-host text, from the command line or from the file: where the RPC server
// listens. Invariants: a text that is accepted names an address, the port is never
// 0 while the configured one is not, and the file is read only up to its bound.

#include "fuzzsupport.h"
#include "bindaddress.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>

namespace {

QTemporaryDir* dir = nullptr;

void checkText(const QString& text)
{
    const BindAddress bind = resolveBindAddress({QStringLiteral("paramserver")}, text, 45432);
    if (bind.valid && !bind.hostText.isEmpty() && bind.address.isNull()) {
        fuzz::fail("host text accepted without an address");
    }
    if (bind.port == 0) {
        fuzz::fail("port 0 from a host text");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize(argc, argv);
    dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    checkText(QString::fromLocal8Bit(bytes));

    const QString path = dir->filePath(QStringLiteral("bindhost.txt"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return 0;
    }
    file.write(bytes);
    file.close();
    const QString fromFile = readBindHostFile(path);
    if (fromFile.size() > 4096) {
        fuzz::fail("more host text than the file is read for");
    }
    checkText(fromFile);
    // An argument wins over the file, untrimmed (unless it is an option the
    // command line of a run may hold).
    const QString argument = QString::fromLatin1(bytes);
    const BindAddress bind =
        resolveBindAddress({QStringLiteral("paramserver"), argument}, fromFile, 45432);
    if (argument != QLatin1String("-e") && argument != QLatin1String("-exec") &&
        !argument.contains(QLatin1String("--restart")) && bind.hostText != argument) {
        fuzz::fail("the argument did not win over the file");
    }
    return 0;
}
