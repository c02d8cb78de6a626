#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to path, replacing what was there; true when all of them were written.
bool writeTestFile(const QString& path, const QByteArray& bytes);
