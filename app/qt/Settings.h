// Where the window keeps what it remembers between sessions (the options, the
// save folders): ~/.config/tachyload/tachyload.conf. Passwords are never
// written there.
#pragma once

#include <QSettings>

namespace app {

class TWindowSettings : public QSettings {
 public:
  TWindowSettings() : QSettings(QStringLiteral("tachyload"), QStringLiteral("tachyload")) {}
};

}  // namespace app
