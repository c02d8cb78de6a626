#pragma once

#include <QHash>
#include <QMetaMethod>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QVector>

// The slots attached to message names, and the delivery of a message to one of
// them by the exact types of its arguments.
//
// A slot declared with default arguments appears in the meta-object once per
// default (the clones follow the full signature); a message is delivered to the
// variant whose parameter count fits its argument count. A parameter declared as
// QVariant takes an argument of any type.
class RpcSlotTable
{
public:
    struct Binding
    {
        QPointer<QObject> receiver;
        QVector<QMetaMethod> methods; // the full signature, then its clones
    };

    // slot is a SLOT() signature (or a bare one). Returns false with a warning when
    // the receiver has no such method.
    bool attach(const QString& message, QObject* receiver, const char* slot);
    void detach(QObject* receiver);
    // Forgets bindings whose receiver is gone.
    void prune();

    QVector<Binding> bindings(const QString& message) const { return table.value(message); }
    bool isEmpty() const { return table.isEmpty(); }

    // Calls the binding's slot. With clientId the slot's first parameter takes it.
    // Returns false, and says why in why (if given), when no variant of the slot fits
    // the arguments. Never logs: the caller decides what a peer's message is worth.
    static bool invoke(const Binding& binding, const QString& message, const quint64* clientId,
                       const QVariantList& args, QString* why = nullptr);

    // The method of binding that takes count parameters, or an invalid one.
    static QMetaMethod methodFor(const Binding& binding, int count);

private:
    QHash<QString, QVector<Binding>> table;
};
