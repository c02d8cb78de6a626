// The bind-host text, from the command line or from the file: where the RPC server
// listens. Invariants: a text that is accepted names an address, the port is never
// 0 while the configured one is not, and the file is read only up to its bound.

#include "fuzzsupport.h"
#include "rpccontroller.h"

#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>

namespace {

QTemporaryDir* dir = nullptr;

void checkText(const QString& text)
{
    QHostAddress address(QHostAddress::Any);
    quint16 port = 45432;
    const bool ok = RpcController::applyBindHost(text, 45432, address, port);
    if (ok && !text.isEmpty() && address.isNull()) {
        fuzz::fail("host text accepted without an address");
    }
    if (port == 0) {
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
    const QString fromFile = RpcController::bindHostText({QStringLiteral("paramserver")}, path);
    if (fromFile.size() > 4096) {
        fuzz::fail("more host text than the file is read for");
    }
    checkText(fromFile);
    // An argument wins over the file, untrimmed.
    if (RpcController::bindHostText({QStringLiteral("paramserver"), QString::fromLatin1(bytes)},
                                    path) != QString::fromLatin1(bytes)) {
        fuzz::fail("the argument did not win over the file");
    }
    return 0;
}
