#pragma once
// A scripted service for what a real one does not produce on demand:
// malformed queues, notices about strangers, and bursts of any size queued
// at once. Shared by the session tests and the flood benchmark.
#include "dplay/api/DirectPlay.h"
#include "session/DPSession.h"

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sessiontest {

// The service's own vocabulary, as the tests speak it.
using namespace dplay;

// Plays back a queue the test fills; records what the component asks for.
class TScriptedDirectPlay : public IDirectPlay4 {
  public:
    struct Script {
        std::deque<std::pair<DPID, std::vector<uint8_t>>> Queue;
        std::vector<std::pair<DPID, std::string>> Others{{7, "127.0.0.1:seven"}};
        std::shared_ptr<TDPEvent> Event;
        int TooSmall = 0;
        int Receives = 0;
        bool Released = false;
        HRESULT EnumResult = DP_OK;
        HRESULT OpenResult = DP_OK;
        HRESULT CreatePlayerResult = DP_OK;
    };
    explicit TScriptedDirectPlay(std::shared_ptr<Script> s) : s_(std::move(s)) {}
    ~TScriptedDirectPlay() override { s_->Released = true; }

    HRESULT InitializeConnection(const void*, uint32_t, uint32_t) override { return DP_OK; }
    HRESULT EnumSessions(const DPSESSIONDESC2&, uint32_t, const EnumSessionsCallback& cb,
                         uint32_t) override {
        if (Failed(s_->EnumResult)) return s_->EnumResult;
        DPSESSIONDESC2 d;
        d.sessionName = "scripted";
        uint32_t t = 0;
        cb(&d, &t, 0);
        cb(nullptr, &t, DPESC_TIMEDOUT);
        return DP_OK;
    }
    HRESULT Open(const DPSESSIONDESC2&, uint32_t) override { return s_->OpenResult; }
    HRESULT CreatePlayer(DPID* id, const DPNAME*, std::shared_ptr<TDPEvent> event, const void*,
                         uint32_t, uint32_t) override {
        if (Failed(s_->CreatePlayerResult)) return s_->CreatePlayerResult;
        *id = kOwnId;
        s_->Event = std::move(event);
        return DP_OK;
    }
    HRESULT EnumPlayers(const TGuid*, const EnumPlayersCallback& cb, uint32_t) override {
        for (auto& [id, name] : s_->Others)
            cb(id, DPPLAYERTYPE_PLAYER, name, 0);
        return DP_OK;
    }
    HRESULT Send(DPID, DPID, uint32_t, const void*, uint32_t) override { return DP_OK; }
    HRESULT Receive(DPID* from, DPID* to, uint32_t, void* data, uint32_t* size) override {
        ++s_->Receives;
        if (s_->Queue.empty()) return DPERR_NOMESSAGES;
        auto& [sender, bytes] = s_->Queue.front();
        if (*size < bytes.size()) {
            ++s_->TooSmall;
            *size = static_cast<uint32_t>(bytes.size());
            return DPERR_BUFFERTOOSMALL;
        }
        if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
        *size = static_cast<uint32_t>(bytes.size());
        *from = sender;
        *to = kOwnId;
        s_->Queue.pop_front();
        return DP_OK;
    }
    HRESULT DestroyPlayer(DPID) override { return DP_OK; }
    HRESULT Close() override { return DP_OK; }

    static constexpr DPID kOwnId = 100;

  private:
    std::shared_ptr<Script> s_;
};

class TScriptedSession : public TDPSession {
  public:
    std::shared_ptr<TScriptedDirectPlay::Script> Script =
        std::make_shared<TScriptedDirectPlay::Script>();

  protected:
    std::unique_ptr<IDirectPlay4> CreateDirectPlay() override {
        return std::make_unique<TScriptedDirectPlay>(Script);
    }
};

} // namespace sessiontest
