#include "peertext.h"

namespace PeerText {

QString clip(const QString& text, int max)
{
    const bool cut = text.size() > max;
    QString shown = cut ? text.left(max) : text;
    for (QChar& c : shown) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char('?');
        }
    }
    if (cut) {
        shown += QStringLiteral("... (%1 characters)").arg(text.size());
    }
    return shown;
}

} // namespace PeerText
