#include "CustomDPSession.h"

#include "DPRecvThread.h"
#include "dplay/api/DirectPlay.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <exception>

using namespace dplay;

namespace {

// The component's texts live here as UTF-8 and are handed out as CP932.
AnsiString Text(const char* utf8) {
    return platform::Utf8ToCp932(utf8);
}

AnsiString Format(const char* utf8, const AnsiString& arg) {
    AnsiString text = Text(utf8);
    auto pos = text.find("%s");
    if (pos != AnsiString::npos) text.replace(pos, 2, arg);
    return text;
}

[[noreturn]] void Fail(const char* utf8) {
    throw EDPSessionError(Text(utf8));
}
[[noreturn]] void Fail(const char* utf8, const AnsiString& arg) {
    throw EDPSessionError(Format(utf8, arg));
}

// Why the room did not let our player in, for the error's details.
std::string RefusalDetail(HRESULT hr) {
    switch (hr) {
    case DPERR_SESSIONFULL:
        return "The host refused: the room is full.";
    case DPERR_NOSESSIONS:
        return "The host refused: the room is no longer there.";
    case DPERR_INVALIDPARAMS:
        return "The host refused the name: it holds a control character (a line break, an "
               "escape, ...).";
    case DPERR_TIMEOUT:
        return "A member of the room did not answer in time; try again.";
    case DPERR_HOSTKEYCHANGED:
        return "The host's key is not the one seen at this address before; not entered.";
    case DPERR_HOSTSWITCHED:
        return "The host that answered the join is not the one that listed the room (another "
               "key); not entered.";
    case DPERR_CONNECTIONLOST:
    case DPERR_NOCONNECTION:
        return "The host ended the connection (the room may be gone).";
    default:
        return "The host refused it (code " + std::to_string(hr) + ").";
    }
}

// The text of a system result code. There is no system message table here,
// so every code but 0 gets the generic text with its number.
AnsiString SystemErrorText(int32_t code) {
    if (code == 0) return {};
    return Format("不明なエラー (%s)", std::to_string(code));
}

constexpr int32_t CO_E_CLASSSTRING = static_cast<int32_t>(0x800401F3u);
const char* const kNullGuid = "{00000000-0000-0000-0000-000000000000}";
const char* const kNotConnected = "現在 TDPSession コンポーネントは接続していません";

// At most maxChars characters of a CP932 text, never half a double-byte one.
AnsiString CutChars(const AnsiString& text, size_t maxChars) {
    size_t i = 0, chars = 0;
    while (i < text.size() && chars < maxChars) {
        i += platform::IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2
                                                                                              : 1;
        ++chars;
    }
    return text.substr(0, i);
}

// A pump run hands the rest of a long queue to the next pass of the event
// loop once it has run this long (or taken this many blocks), so the windows
// repaint and take input while a flood drains. The first blocks of a run are
// always taken, so a handful queued together arrive in one run. The rest
// waits for a 1 ms timer rather than a posted call: Qt serves its timers only
// once posted events run dry, so a chain of posted calls would hold them back.
constexpr qint64 kSliceMs = 10;
constexpr int kSliceMinBlocks = 16;
constexpr int kSliceMaxBlocks = 256;
constexpr int kSlicePauseMs = 1;

TGuid ApplicationGuid(const AnsiString& text) {
    auto guid = TGuid::Parse(text);
    return guid ? *guid : TGuid{};
}

} // namespace

TCustomDPSession::TCustomDPSession(QObject* owner)
    : QObject(owner), guid_(kNullGuid), alive_(std::make_shared<bool>(true)) {}

TCustomDPSession::~TCustomDPSession() {
    try {
        CloseSession();
    } catch (...) {
        platform::HandleCurrentException();
    }
    *alive_ = false;
}

TDPNameGuidList& TCustomDPSession::ProviderList() {
    if (!providerList_) {
        auto list = std::make_unique<TDPNameGuidList>();
        HRESULT hr = DirectPlayEnumerate([&](const TGuid& guid, const std::string& name) {
            list->Add(name, guid);
            return true;
        });
        if (Failed(hr))
            throw platform::Exception(Format("%s を読み込めません", "libparlora_dplay"));
        providerList_ = std::move(list);
    }
    return *providerList_;
}

void TCustomDPSession::SetProvider(const AnsiString& name) {
    CloseSession();
    currentProviderName_ = name;
    if (name.empty()) return;
    try {
        int index = ProviderList().IndexOfName(name);
        if (index < 0) Fail("プロバイダ '%s' が見つかりません", name);
        const TGuid provider = providerList_->Guids(index);

        std::vector<DPCOMPOUNDADDRESSELEMENT> elements;
        elements.push_back({DPAID_ServiceProvider, 16, provider.Bytes.data()});
        const std::string host = tcpipSetting_.HostName; // with its terminator below
        const uint16_t port = tcpipSetting_.Port;
        if (provider == DPSPGUID_TCPIP && tcpipSetting_.Enabled) {
            if (!host.empty())
                elements.push_back(
                    {DPAID_INet, static_cast<uint32_t>(host.size() + 1), host.c_str()});
            if (port != 0) elements.push_back({DPAID_INetPort, 2, &port});
        }
        if (provider == DPSPGUID_MODEM && modemSetting_.Enabled) {
            const AnsiString& modem = modemSetting_.ModemDevice;
            const AnsiString& phone = modemSetting_.PhoneNumber;
            if (!modem.empty())
                elements.push_back(
                    {DPAID_Modem, static_cast<uint32_t>(modem.size() + 1), modem.c_str()});
            if (!phone.empty())
                elements.push_back(
                    {DPAID_Phone, static_cast<uint32_t>(phone.size() + 1), phone.c_str()});
        }

        const auto count = static_cast<uint32_t>(elements.size());
        uint32_t size = 0;
        bool ok =
            CreateCompoundAddress(elements.data(), count, nullptr, &size) == DPERR_BUFFERTOOSMALL;
        std::vector<uint8_t> address(ok ? size : 0, 0);
        ok = ok && !Failed(CreateCompoundAddress(elements.data(), count, address.data(), &size));
        std::unique_ptr<IDirectPlay4> directPlay;
        if (ok) directPlay = CreateDirectPlay();
        ok = ok && directPlay && !Failed(directPlay->InitializeConnection(address.data(), size, 0));
        if (!ok) Fail("%s を初期化できません", "DirectPlay"); // a created object goes with it
        directPlay_ = std::move(directPlay);
    } catch (...) {
        currentProviderName_.clear();
        throw;
    }
}

std::unique_ptr<IDirectPlay4> TCustomDPSession::CreateDirectPlay() {
    return DirectPlayCreate();
}

void TCustomDPSession::RefreshSessions() {
    if (!directPlay_) Fail(kNotConnected);
    sessionList_.Clear();
    sessionList_.SetValid(false); // a failed refresh must not leave an empty list marked valid
    DPSESSIONDESC2 desc;
    desc.guidApplication = ApplicationGuid(guid_);
    HRESULT hr = directPlay_->EnumSessions(
        desc, 0,
        [this](const DPSESSIONDESC2* found, uint32_t*, uint32_t flags) {
            if (flags & DPESC_TIMEDOUT || !found) return false;
            sessionList_.Add(found->sessionName, found->guidInstance);
            return true;
        },
        DPENUMSESSIONS_AVAILABLE);
    if (hr == DPERR_USERCANCEL) throw platform::EAbort();
    if (Failed(hr))
        throw EDPSessionError(Text("セッションのリストを取得できません"),
                              directPlay_->LastErrorDetail());
    sessionList_.SetValid(true);
}

TDPNameGuidList& TCustomDPSession::SessionList() {
    if (!sessionList_.Valid()) RefreshSessions();
    return sessionList_;
}

void TCustomDPSession::OpenSession(bool create, const AnsiString& sessionName,
                                   const AnsiString& playerName) {
    if (!directPlay_) Fail(kNotConnected);
    if (sessionName.empty()) Fail("セッション名が指定されていません");
    if (playerName.empty()) Fail("プレイヤー名が指定されていません");

    DPSESSIONDESC2 desc;
    desc.guidApplication = ApplicationGuid(guid_);
    HRESULT hr;
    if (create) {
        desc.dwFlags = DPSESSION_MIGRATEHOST | DPSESSION_KEEPALIVE;
        desc.dwMaxPlayers = static_cast<uint32_t>(maxPlayers_);
        desc.sessionName = sessionName;
        hr = directPlay_->Open(desc, DPOPEN_CREATE);
    } else {
        int index = SessionList().IndexOfName(sessionName);
        if (index < 0) Fail("セッション '%s' が見つかりません", sessionName);
        desc.guidInstance = sessionList_.Guids(index);
        hr = directPlay_->Open(desc, DPOPEN_JOIN);
        // A changed host key: the owner asks the user, and only a yes enters.
        if (hr == DPERR_HOSTKEYCHANGED) {
            const auto change = directPlay_->HostKeyChange();
            if (change && NotifyHostKeyChanged(*change)) {
                hr = directPlay_->AcceptHostKey();
                if (!Failed(hr)) hr = directPlay_->Open(desc, DPOPEN_JOIN);
            }
        }
    }
    if (hr == DPERR_USERCANCEL) throw platform::EAbort();
    if (Failed(hr)) {
        std::string detail = directPlay_->LastErrorDetail();
        if (detail.empty() && !create) detail = RefusalDetail(hr);
        const char* text = hr == DPERR_HOSTKEYCHANGED
                               ? "ホストの鍵が前と違うため、セッション '%s' に入室しませんでした"
                           : hr == DPERR_HOSTSWITCHED
                               ? "セッション '%s' を開けません(部屋を示したホストと参加先のホストの"
                                 "鍵が違います)"
                           : hr == DPERR_KNOWNHOSTS
                               ? "記憶したホストの鍵を読めないため、セッション '%s' に入室しません"
                                 "でした"
                               : "セッション '%s' を開けません";
        throw EDPSessionError(Format(text, sessionName), detail);
    }
    currentSessionName_ = sessionName;

    try {
        OpenPlayer(playerName);
    } catch (...) {
        auto error = std::current_exception();
        try {
            CloseSession();
        } catch (...) {
            // The first error is the one that counts.
        }
        std::rethrow_exception(error);
    }
}

void TCustomDPSession::OpenPlayer(const AnsiString& playerName) {
    opened_ = true;
    receiveEvent_ = std::make_shared<TDPEvent>();
    ownPlayer_ = playerList_.Add();
    ownPlayer_->Name = playerName;
    ownPlayer_->Remote = false;

    DPNAME name;
    name.shortName = CutChars(playerName, 1023);
    DPID id = 0;
    if (HRESULT hr = directPlay_->CreatePlayer(&id, &name, receiveEvent_, nullptr, 0, 0);
        Failed(hr))
        throw EDPSessionError(Format("%s を開けません", currentSessionName_), RefusalDetail(hr));
    ownPlayer_->Id = id;

    directPlay_->EnumPlayers(
        nullptr,
        [this](DPID playerId, uint32_t, const std::string& shortName, uint32_t) {
            if (playerId == ownPlayer_->Id || playerList_.IndexOf(playerId) >= 0) return true;
            TDPPlayer* player = playerList_.Add();
            player->Id = playerId;
            player->Name = shortName;
            player->Remote = true;
            return true;
        },
        DPENUMPLAYERS_REMOTE);
    isSessionHost_ = playerList_.Count() == 1;

    openNotified_ = true;
    NotifyOpen();
    NotifyAddPlayer(ownPlayer_);

    recvThread_ = std::make_unique<TDPRecvThread>(this);
    recvThread_->Resume();
}

void TCustomDPSession::CloseSession() {
    Close(-1);
}

bool TCustomDPSession::CloseSessionWhenSent(int timeoutMs,
                                            const std::function<void()>& stillGoing) {
    return Close(std::max(timeoutMs, 0), stillGoing);
}

bool TCustomDPSession::Close(int waitSentMs, const std::function<void()>& stillGoing) {
    std::exception_ptr error;
    bool sent = true;
    opened_ = false;
    sessionList_.SetValid(false);
    if (openNotified_) {
        openNotified_ = false;
        try {
            NotifyClose();
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (directPlay_) {
        if (ownPlayer_) directPlay_->DestroyPlayer(ownPlayer_->Id);
        directPlay_->Close();
        if (waitSentMs >= 0) {
            constexpr int kSlowMs = 1000;
            HRESULT hr = DPERR_TIMEOUT;
            if (stillGoing && waitSentMs > kSlowMs) {
                hr = directPlay_->WaitSent(kSlowMs);
                if (hr == DPERR_TIMEOUT) {
                    stillGoing();
                    waitSentMs -= kSlowMs;
                }
            }
            if (hr == DPERR_TIMEOUT) hr = directPlay_->WaitSent(static_cast<uint32_t>(waitSentMs));
            sent = hr == DP_OK;
        }
    }
    currentProviderName_.clear();
    currentSessionName_.clear();
    asyncSupported_ = false;
    sessionList_.Clear();
    directPlay_.reset();
    StopReceiveThread();
    receiveEvent_.reset();
    playerList_.Clear();
    ownPlayer_ = nullptr;
    isSessionHost_ = false;
    if (error) std::rethrow_exception(error);
    return sent;
}

void TCustomDPSession::StopReceiveThread() {
    if (recvThread_) {
        if (inPump_)
            recvThread_->Abandon();
        else
            recvThread_->Terminate();
        recvThread_.reset();
    }
    stopEvent_.reset();
}

void TCustomDPSession::SendData(uint32_t toId, const void* data, int size) {
    if (!opened_ || !directPlay_ || !ownPlayer_) return;
    if (size < 4) Fail("メッセージ形式が不正です");
    if (toId == ownPlayer_->Id) {
        NotifyMessage(ownPlayer_, data, size);
        return;
    }
    HRESULT hr = directPlay_->Send(ownPlayer_->Id, toId, DPSEND_GUARANTEED, data,
                                   static_cast<uint32_t>(size));
    // Other failures (a player that has just left) stay silent; a block
    // that can never go, or did not go, must not look sent.
    if (hr == DPERR_SENDTOOBIG)
        throw EDPSessionError(Text("メッセージ形式が不正です"),
                              "A block of " + std::to_string(size) +
                                  " bytes is larger than a room carries.");
    if (hr == DPERR_BUSY)
        throw EDPSessionBusy(Text("送信できませんでした。受信が追いつかないメンバーがいます。"
                                  "しばらくしてから送り直してください。"),
                             "A member has not taken what was sent to it yet; nothing was sent.");
}

void TCustomDPSession::SetGUID(const AnsiString& value) {
    if (value == guid_) return;
    if (value.empty()) {
        guid_ = kNullGuid;
        return;
    }
    auto guid = TGuid::Parse(value);
    if (!guid) throw EDPSessionError(SystemErrorText(CO_E_CLASSSTRING));
    guid_ = guid->ToString();
}

void TCustomDPSession::ReceivePump() {
    // A run started while another waits in a handler's nested event loop
    // leaves the queue to that one, which goes on once the handler returns;
    // taking blocks here would put later ones inside the entry being handled.
    if (inPump_) return;
    auto alive = alive_;
    inPump_ = true;
    struct Restore {
        std::shared_ptr<bool> alive;
        bool* flag;
        ~Restore() {
            if (*alive) *flag = false;
        }
    } restore{alive, &inPump_};

    QElapsedTimer slice;
    slice.start();
    std::vector<uint8_t> buffer; // grows only when a message does not fit
    try {
        for (int taken = 0; *alive && directPlay_; ++taken) {
            if (taken >= kSliceMaxBlocks ||
                (taken >= kSliceMinBlocks && slice.hasExpired(kSliceMs))) {
                ContinuePumpLater();
                break;
            }
            DPID from = 0, to = 0;
            auto size = static_cast<uint32_t>(buffer.size());
            HRESULT hr = directPlay_->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
            if (hr == DPERR_BUFFERTOOSMALL) {
                buffer.resize(size);
                hr = directPlay_->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
            }
            if (Failed(hr)) break;
            if (size < 4) continue;
            if (from != DPID_SYSMSG) {
                TDPPlayer* sender = playerList_.Find(from);
                NotifyMessage(sender, buffer.data(), static_cast<int>(size));
            } else {
                DispatchSystemMessage(buffer.data(), size);
            }
        }
    } catch (...) {
        // What is still queued should not wait for the next arrival.
        if (*alive && receiveEvent_) receiveEvent_->Set();
        platform::HandleCurrentException();
    }
}

void TCustomDPSession::ContinuePumpLater() {
    if (continuePosted_) return;
    continuePosted_ = true;
    // Bound to this object: a component destroyed meanwhile drops it, and a
    // session closed meanwhile leaves the run nothing to do.
    QTimer::singleShot(kSlicePauseMs, this, [this] {
        continuePosted_ = false;
        ReceivePump();
    });
}

void TCustomDPSession::DispatchSystemMessage(const void* buffer, uint32_t size) {
    DPMSG_GENERIC generic;
    std::memcpy(&generic, buffer, sizeof generic);
    switch (generic.dwType) {
    case DPSYS_CREATEPLAYERORGROUP: {
        DPMSG_CREATEPLAYERORGROUP msg;
        if (size < sizeof msg) return;
        std::memcpy(&msg, buffer, sizeof msg);
        // Our own, or one already listed when we entered.
        if ((ownPlayer_ && msg.dpId == ownPlayer_->Id) || playerList_.IndexOf(msg.dpId) >= 0)
            return;
        std::string name;
        if (!CreateNoticeShortName(buffer, size, &name)) name.clear();
        TDPPlayer* player = playerList_.Add();
        player->Id = msg.dpId;
        player->Name = name;
        player->Remote = true;
        NotifyAddPlayer(player);
        return;
    }
    case DPSYS_DESTROYPLAYERORGROUP: {
        DPMSG_DESTROYPLAYERORGROUP msg;
        if (size < sizeof msg) return;
        std::memcpy(&msg, buffer, sizeof msg);
        if (ownPlayer_ && msg.dpId == ownPlayer_->Id) return;
        int index = playerList_.IndexOf(msg.dpId);
        if (index < 0) return;
        TDPPlayer* player = playerList_[index];
        auto alive = alive_;
        try {
            NotifyDeletePlayer(player);
        } catch (...) {
            // The member is gone whatever the handler did.
            if (*alive && playerList_.IndexOf(msg.dpId) >= 0) delete player;
            throw;
        }
        if (*alive && playerList_.IndexOf(msg.dpId) >= 0) delete player;
        return;
    }
    case DPSYS_SESSIONLOST: {
        auto alive = alive_;
        try {
            NotifySessionLost();
        } catch (...) {
            if (*alive) CloseSession();
            throw;
        }
        if (*alive) CloseSession();
        return;
    }
    case DPSYS_HOST:
        isSessionHost_ = true;
        NotifyHost();
        return;
    case DPSYS_SENDCOMPLETE: {
        DPMSG_SENDCOMPLETE msg;
        if (size < sizeof msg || !ownPlayer_) return;
        std::memcpy(&msg, buffer, sizeof msg);
        if (msg.idFrom != ownPlayer_->Id) return;
        TDPSendCompleteResult result = msg.hr == DP_OK ? TDPSendCompleteResult::SendOk
                                       : msg.hr == DPERR_ABORTED
                                           ? TDPSendCompleteResult::SendAborted
                                           : TDPSendCompleteResult::SendFailed;
        NotifySendComplete(msg.dwMsgID, result, static_cast<int>(msg.dwSendTime));
        return;
    }
    default:
        return;
    }
}

void TCustomDPSession::NotifyAddPlayer(TDPPlayer* Player) {
    if (OnAddPlayer) OnAddPlayer(this, Player);
}
void TCustomDPSession::NotifyClose() {
    if (OnClose) OnClose(this);
}
void TCustomDPSession::NotifyDeletePlayer(TDPPlayer* Player) {
    if (OnDeletePlayer) OnDeletePlayer(this, Player);
}
void TCustomDPSession::NotifyMessage(TDPPlayer* From, const void* Data, int DataSize) {
    if (OnMessage) OnMessage(this, From, Data, DataSize);
}
void TCustomDPSession::NotifyOpen() {
    if (OnOpen) OnOpen(this);
}
void TCustomDPSession::NotifySessionLost() {
    if (OnSessionLost) OnSessionLost(this);
}
bool TCustomDPSession::NotifyHostKeyChanged(const DPHOSTKEYCHANGE& Change) {
    return OnHostKeyChanged && OnHostKeyChanged(this, Change);
}
DPROOMSECURITY TCustomDPSession::RoomSecurity() const {
    return opened_ && directPlay_ ? directPlay_->RoomSecurity() : DPROOMSECURITY{};
}
void TCustomDPSession::NotifyHost() {
    if (OnHost) OnHost(this);
}
void TCustomDPSession::NotifySendComplete(uint32_t MessageID, TDPSendCompleteResult Result,
                                          int SendTime) {
    if (OnSendComplete) OnSendComplete(this, MessageID, Result, SendTime);
}
