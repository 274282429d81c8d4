#pragma once
// A home network in network namespaces: machines on a LAN (192.168.50.0/24)
// behind a router that masquerades towards a "WAN" namespace where the
// outsiders are. The WAN side uses 11.22.33.0/24, outside the ranges a
// router's UPnP daemon refuses to forward from; the namespaces have no link
// to the machine's network, so nothing leaves them. The router may run
// miniupnpd (UPnP IGD and NAT-PMP), and may itself sit behind a second NAT.
#include <string>
#include <vector>

class TRouterLab {
  public:
    enum class TRouter { Upnp, NatPmpOnly, NoUpnp, DoubleNat };
    // A router whose UPnP answers are wrong in the given way (see fake_igd.py).
    enum class TBadIgd { Garbage, Huge, Elsewhere };
    explicit TRouterLab(TBadIgd bad);
    // Control requests the bad router got.
    std::string BadIgdRequests() const;
    // Why the lab cannot be made here ("" when it can).
    static std::string Unavailable();

    explicit TRouterLab(TRouter router);
    ~TRouterLab();
    TRouterLab(const TRouterLab&) = delete;
    TRouterLab& operator=(const TRouterLab&) = delete;

    // A machine on the LAN at 192.168.50.<host>.
    void AddHome(const std::string& name, int host);
    // A machine outside, on the WAN at 11.22.33.<host> (2 and up).
    void AddOutside(const std::string& name, int host);
    static std::string HomeAddress(int host) { return "192.168.50." + std::to_string(host); }
    static std::string OutsideAddress(int host) { return "11.22.33." + std::to_string(host); }
    // The router's public address.
    std::string RouterAddress() const;

    std::vector<std::string> Inside(const std::string& name) const;
    // The TCP ports the router forwards now (read from its iptables rules).
    std::vector<int> ForwardedPorts();
    // Stops and starts miniupnpd again: every mapping is lost.
    void RestartDaemon();

  private:
    std::string Ns(const std::string& name) const { return prefix_ + name; }
    void NewNamespace(const std::string& name);
    void In(const std::string& name, const std::string& command);
    void StartDaemon();
    void StopDaemon();
    void Remove();

    TRouter router_;
    std::string prefix_;
    std::string dir_;
    std::vector<std::string> namespaces_;
};
