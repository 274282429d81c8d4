#pragma once
// The room's protection as the user sees it: the question before entering a
// room whose host key changed, and the line the version dialog shows.
#include "dplay/api/DirectPlay.h"

#include <QString>

class QWidget;

// Shows the warning (Japanese) with both keys and asks whether to enter.
// "入室しない" is the default answer, and closing the box means it too.
bool AskEnterWithChangedHostKey(QWidget* parent, const dplay::DPHOSTKEYCHANGE& change);

// "暗号化通信 (TLS 1.3)  ホストの鍵: ABCD EF01 2345 6789" and the like.
QString RoomSecurityText(const dplay::DPROOMSECURITY& security, bool inRoom);
