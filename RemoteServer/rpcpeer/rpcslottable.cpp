#include "rpcslottable.h"

#include <QMetaObject>
#include <QtDebug>

namespace {

QString describe(const QVariantList& args)
{
    QStringList names;
    names.reserve(args.size());
    for (const QVariant& arg : args) {
        names << QString::fromLatin1(arg.typeName());
    }
    return names.join(QLatin1Char(','));
}

} // namespace

bool RpcSlotTable::attach(const QString& message, QObject* receiver, const char* slot)
{
    if (!receiver || !slot || !*slot) {
        qWarning("RpcPeer: attachSlot without receiver or slot for %s", qUtf8Printable(message));
        return false;
    }
    const char* signature = slot;
    // SLOT() and SIGNAL() put a one-digit code in front of the signature.
    if (*signature >= '0' && *signature <= '2') {
        ++signature;
    }
    const QByteArray normalized = QMetaObject::normalizedSignature(signature);
    const QMetaObject* meta = receiver->metaObject();
    const int index = meta->indexOfMethod(normalized.constData());
    if (index < 0) {
        qWarning("RpcPeer: %s has no method %s to attach to %s", meta->className(),
                 normalized.constData(), qUtf8Printable(message));
        return false;
    }

    Binding binding;
    binding.receiver = receiver;
    const QMetaMethod full = meta->method(index);
    binding.methods.append(full);
    // moc emits one clone per default argument right after the full signature.
    for (int i = index + 1; i < meta->methodCount(); ++i) {
        const QMetaMethod clone = meta->method(i);
        if (!(clone.attributes() & QMetaMethod::Cloned) || clone.name() != full.name()) {
            break;
        }
        binding.methods.append(clone);
    }
    table[message].append(binding);
    return true;
}

void RpcSlotTable::detach(QObject* receiver)
{
    for (auto it = table.begin(); it != table.end();) {
        QVector<Binding>& list = it.value();
        for (int i = list.size() - 1; i >= 0; --i) {
            if (!list.at(i).receiver || list.at(i).receiver.data() == receiver) {
                list.remove(i);
            }
        }
        it = list.isEmpty() ? table.erase(it) : std::next(it);
    }
}

void RpcSlotTable::prune()
{
    detach(nullptr);
}

QMetaMethod RpcSlotTable::methodFor(const Binding& binding, int count)
{
    for (const QMetaMethod& method : binding.methods) {
        if (method.parameterCount() == count) {
            return method;
        }
    }
    return QMetaMethod();
}

bool RpcSlotTable::invoke(const Binding& binding, const QString& message, const quint64* clientId,
                          const QVariantList& args, QString* why)
{
    // What is wrong is said to the caller, never logged here: a peer can send any
    // number of such messages.
    const auto refuse = [why](const QString& text) {
        if (why) {
            *why = text;
        }
        return false;
    };
    QObject* receiver = binding.receiver.data();
    if (!receiver) {
        return false;
    }
    const int first = clientId ? 1 : 0;
    const QMetaMethod method = methodFor(binding, first + args.size());
    if (!method.isValid()) {
        return refuse(QStringLiteral("%1 argument(s) do not fit %2::%3")
                          .arg(args.size())
                          .arg(QLatin1String(receiver->metaObject()->className()),
                               QLatin1String(binding.methods.constFirst().methodSignature())));
    }

    // Slot arguments: argv[0] is the return value (unused), then the parameters.
    void* argv[1 + 1 + 8] = {nullptr};
    if (clientId) {
        if (method.parameterType(0) != QMetaType::ULongLong) {
            return refuse(QStringLiteral("%1::%2 does not take the client identifier first")
                              .arg(QLatin1String(receiver->metaObject()->className()),
                                   QLatin1String(method.methodSignature())));
        }
        argv[1] = const_cast<quint64*>(clientId);
    }
    for (int i = 0; i < args.size(); ++i) {
        const int wanted = method.parameterType(first + i);
        const QVariant& arg = args.at(i);
        if (wanted == QMetaType::QVariant) {
            argv[1 + first + i] = const_cast<QVariant*>(&arg);
        } else if (arg.userType() == wanted) {
            argv[1 + first + i] = const_cast<void*>(arg.constData());
        } else {
            return refuse(QStringLiteral("(%1) does not fit %2::%3")
                              .arg(describe(args),
                                   QLatin1String(receiver->metaObject()->className()),
                                   QLatin1String(method.methodSignature())));
        }
    }
    QMetaObject::metacall(receiver, QMetaObject::InvokeMetaMethod, method.methodIndex(), argv);
    return true;
}
