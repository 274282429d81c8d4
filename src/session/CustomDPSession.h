#pragma once
// The session component: providers, the sessions of one application GUID,
// the players of the open session, sending blocks, and every notice raised as
// an event on the GUI thread.
#include "DPModemSetting.h"
#include "DPNameGuidList.h"
#include "DPPlayers.h"
#include "DPSessionError.h"
#include "DPTCPIPSetting.h"
#include "dplay/api/DirectPlay.h"
#include "platform/AnsiString.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

namespace dplay {
class IDirectPlay4;
class TDPEvent;
} // namespace dplay

class TCustomDPSession;
class TDPRecvThread;

enum class TDPSendCompleteResult { SendOk = 0, SendAborted = 1, SendFailed = 2 };

using TDPNotifyEvent = std::function<void(TCustomDPSession* Sender)>;
using TDPPlayerEvent = std::function<void(TCustomDPSession* Sender, TDPPlayer* Player)>;
// Data is valid only during the call.
using TDPMessageEvent =
    std::function<void(TCustomDPSession* Sender, TDPPlayer* From, const void* Data, int DataSize)>;
// The host of the room being joined shows another key than the one remembered
// for its address. Returns true to enter all the same (the new key is then
// remembered), false to stay out. No answer set: stay out.
using TDPHostKeyEvent =
    std::function<bool(TCustomDPSession* Sender, const dplay::DPHOSTKEYCHANGE& Change)>;
using TDPSendCompleteEvent = std::function<void(TCustomDPSession* Sender, uint32_t MessageID,
                                                TDPSendCompleteResult Result, int SendTime)>;

// Holds all behaviour; TDPSession publishes the properties and events.
// Every operation and event runs on the GUI thread.
class TCustomDPSession : public QObject {
  public:
    explicit TCustomDPSession(QObject* owner = nullptr);
    ~TCustomDPSession() override;

    // Providers as the service reports them; built on first use.
    TDPNameGuidList& ProviderList();
    const AnsiString& CurrentProviderName() const { return currentProviderName_; }
    // Closes, then connects through the named provider ("" leaves it Idle).
    void SetProvider(const AnsiString& name);

    // Refills SessionList from the host in TCPIPSetting.HostName.
    void RefreshSessions();
    // The sessions found; refreshed first when not valid.
    TDPNameGuidList& SessionList();
    const AnsiString& CurrentSessionName() const { return currentSessionName_; }

    // Creates (create true) or joins the named session, then enters it as a
    // player named playerName.
    void OpenSession(bool create, const AnsiString& sessionName, const AnsiString& playerName);
    // Leaves the session and returns to Idle; safe to call in any state.
    void CloseSession();
    // The same, and waits up to timeoutMs until what was sent has reached
    // the others; false when some of it could not, or the wait ran out.
    // stillGoing (when given) is called once if that takes over a second.
    bool CloseSessionWhenSent(int timeoutMs, const std::function<void()>& stillGoing = {});
    // toId 0: every other player. The own id: OnMessage at once, before
    // returning. Does nothing unless Opened.
    void SendData(uint32_t toId, const void* data, int size);

    TDPPlayers& PlayerList() { return playerList_; }
    TDPPlayer* OwnPlayer() const { return ownPlayer_; }
    bool IsSessionHost() const { return isSessionHost_; }
    bool Opened() const { return opened_; }
    // Encrypted or not, and the host's key, while a session is open.
    dplay::DPROOMSECURITY RoomSecurity() const;

    // Drains the service's queue into events, in queue order. GUI thread
    // only; the receive thread hands it over whenever the receive event is
    // signalled. A long queue is drained in slices: a run that has taken its
    // share leaves the rest to a run posted to the next pass of the event
    // loop. Does nothing while the session is closed.
    void ReceivePump();

  protected:
    // Each fires its event when one is assigned.
    virtual void NotifyAddPlayer(TDPPlayer* Player);
    virtual void NotifyClose();
    virtual void NotifyDeletePlayer(TDPPlayer* Player);
    virtual void NotifyMessage(TDPPlayer* From, const void* Data, int DataSize);
    virtual void NotifyOpen();
    virtual void NotifySessionLost();
    // This process became the room's host (it took the room over).
    virtual void NotifyHost();
    virtual void NotifySendComplete(uint32_t MessageID, TDPSendCompleteResult Result, int SendTime);
    virtual bool NotifyHostKeyChanged(const dplay::DPHOSTKEYCHANGE& Change);

    // The DirectPlay object for SetProvider; a test can hand in a scripted one.
    virtual std::unique_ptr<dplay::IDirectPlay4> CreateDirectPlay();

    // Properties (published by TDPSession).
    bool Async() const { return async_; }
    void SetAsync(bool value) { async_ = value; }
    // The application GUID in braced text form.
    const AnsiString& GUID() const { return guid_; }
    void SetGUID(const AnsiString& value);
    int32_t MaxPlayers() const { return maxPlayers_; }
    void SetMaxPlayers(int32_t value) { maxPlayers_ = value; }
    TDPModemSetting& ModemSetting() { return modemSetting_; }
    void SetModemSetting(const TDPModemSetting& value) { modemSetting_.Assign(value); }
    TDPTCPIPSetting& TCPIPSetting() { return tcpipSetting_; }
    void SetTCPIPSetting(const TDPTCPIPSetting& value) { tcpipSetting_.Assign(value); }

    TDPPlayerEvent OnAddPlayer;
    TDPNotifyEvent OnClose;
    TDPPlayerEvent OnDeletePlayer;
    TDPMessageEvent OnMessage;
    TDPNotifyEvent OnOpen;
    TDPSendCompleteEvent OnSendComplete;
    TDPNotifyEvent OnSessionLost;
    TDPNotifyEvent OnHost;
    TDPHostKeyEvent OnHostKeyChanged;

  private:
    friend class TDPRecvThread;

    void OpenPlayer(const AnsiString& playerName);
    void StopReceiveThread();
    // waitSentMs < 0: the leave is not waited for.
    bool Close(int waitSentMs, const std::function<void()>& stillGoing = {});
    void DispatchSystemMessage(const void* buffer, uint32_t size);
    void ContinuePumpLater();

    bool async_ = false;
    AnsiString guid_;
    int32_t maxPlayers_ = 0;
    TDPModemSetting modemSetting_;
    TDPTCPIPSetting tcpipSetting_;

    std::unique_ptr<TDPNameGuidList> providerList_;
    AnsiString currentProviderName_;
    TDPNameGuidList sessionList_;
    AnsiString currentSessionName_;
    TDPPlayers playerList_;
    TDPPlayer* ownPlayer_ = nullptr;
    bool isSessionHost_ = false;
    bool opened_ = false;

    std::unique_ptr<dplay::IDirectPlay4> directPlay_;
    bool openNotified_ = false;
    std::shared_ptr<dplay::TDPEvent> receiveEvent_;
    std::shared_ptr<dplay::TDPEvent> stopEvent_;
    std::unique_ptr<TDPRecvThread> recvThread_;
    bool inPump_ = false;
    bool continuePosted_ = false; // a run for the rest of the queue is posted
    bool asyncSupported_ = false;
    // Lets a pump run notice that a handler destroyed the component.
    std::shared_ptr<bool> alive_;
};
