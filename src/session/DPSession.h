#pragma once
// The session component as the forms use it: TDPSession with its players,
// settings and errors.
#include "CustomDPSession.h"

// Publishes the properties and events of the session component.
class TDPSession : public TCustomDPSession {
  public:
    explicit TDPSession(QObject* owner = nullptr) : TCustomDPSession(owner) {}

    using TCustomDPSession::Async;
    using TCustomDPSession::GUID;
    using TCustomDPSession::MaxPlayers;
    using TCustomDPSession::ModemSetting;
    using TCustomDPSession::SetAsync;
    using TCustomDPSession::SetGUID;
    using TCustomDPSession::SetMaxPlayers;
    using TCustomDPSession::SetModemSetting;
    using TCustomDPSession::SetTCPIPSetting;
    using TCustomDPSession::TCPIPSetting;

    using TCustomDPSession::OnAddPlayer;
    using TCustomDPSession::OnClose;
    using TCustomDPSession::OnDeletePlayer;
    using TCustomDPSession::OnHost;
    using TCustomDPSession::OnHostKeyChanged;
    using TCustomDPSession::OnMessage;
    using TCustomDPSession::OnOpen;
    using TCustomDPSession::OnSendComplete;
    using TCustomDPSession::OnSessionLost;
};
