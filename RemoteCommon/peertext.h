#pragma once

#include <QString>

// Text that came from a peer (a message name, a login, a device text) as it may
// appear in a log line: never more than a short prefix, so that one frame or
// datagram cannot make a log line, and its copy to every workstation, large.
namespace PeerText {

constexpr int MaxLogged = 128;

// At most max characters of text, followed by "..." and the full length when
// something was cut; control characters become '?', so that a peer cannot start
// lines of its own.
QString clip(const QString& text, int max = MaxLogged);

} // namespace PeerText
