// libFuzzer target: the texts paramctl takes from operators' files, as batch
// files (every line parsed as a command) and as device lists.

#include "paramctlbatch.h"
#include "paramctldevicelist.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));

    QList<ParamCtlCommand> commands;
    QString error;
    if (ParamCtlBatch::parse(text, QStringLiteral("fuzz"), &commands, &error)) {
        for (const ParamCtlCommand& command : commands) {
            // A good line names a command; a bad one has a status of its own.
            if (command.error.isEmpty() ? command.command == ParamCtlCommand::Command::None
                                        : command.errorCode == ParamCtlExitCode::Success) {
                __builtin_trap();
            }
        }
    }

    // Only the first line as a device list: ranges are bounded, files not read.
    QList<quint32> uoos;
    int code = 0;
    const QString list = text.section(QLatin1Char('\n'), 0, 0);
    if (ParamCtlDeviceList::parse(list, false, &uoos, &error, &code) &&
        uoos.size() > ParamCtlDeviceList::MaxDevices) {
        __builtin_trap();
    }
    return 0;
}
