#pragma once
// Copies the options dialog's settings between its controls and the settings
// store. The controls are the live copy; there is no settings object.
#include "SettingsKeys.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;

namespace settings {

// The controls whose states are stored, as the options dialog owns them.
struct TOptionControls {
    QRadioButton* K2 = nullptr;
    QRadioButton* K3 = nullptr;
    QRadioButton* K4 = nullptr;
    QRadioButton* K5 = nullptr;
    QCheckBox* cb_Enter = nullptr;
    QCheckBox* cbNotify = nullptr;
    QLineEdit* Edftpaddress = nullptr;
    QLineEdit* EdLogin = nullptr;
    QLineEdit* Edpwd = nullptr;
    QLineEdit* Edconnecting = nullptr;
    QLineEdit* Eddisconnect = nullptr;
    QLineEdit* Edftpdir = nullptr;
    QCheckBox* cbftpdebug = nullptr;
    // Whether the upload is encrypted: each item's data is its
    // net::TTlsMode value, which is what the store keeps.
    QComboBox* cbFtpTls = nullptr;
};

// Writes every value, creating the keys. A value that cannot be written
// raises platform::ERegistryException and ends the save there.
void SaveSettings(const TOptionControls& c);

// Reads the values into the controls in their stored order, each applied as
// it is read. Without the main key nothing is read (and nothing is created).
// The first value that cannot be read ends the load silently; controls not
// reached keep their state.
void LoadSettings(const TOptionControls& c);

// Sets one radio button of an exclusive group the way a stored state is
// applied: true chooses it (clearing the others), false clears only it, so
// a group can be left with nothing chosen.
void SetRadioChecked(QRadioButton* button, bool checked);

// Chooses the item of `box` whose data is `mode`; an unknown value chooses
// nothing new.
void SetComboMode(QComboBox* box, int mode);

} // namespace settings
