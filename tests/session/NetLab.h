#pragma once
// Small networks of network namespaces for the tests that need more than
// loopback: a public network (a bridge in a namespace of its own) with hosts
// on it, and members behind MASQUERADE routers of their own. Everything is
// made inside namespaces named after this process, so the machine's own
// network is never touched, and removing the namespaces removes every link,
// address and rule with them: at the end of the lab (also when a test
// fails), and, for a lab whose process crashed, at the start of the next one.
#include <string>
#include <vector>

class TNetLab {
  public:
    // Why labs cannot be made here ("" when they can): they need root, ip
    // and iptables.
    static std::string Unavailable();

    TNetLab();
    ~TNetLab();
    TNetLab(const TNetLab&) = delete;
    TNetLab& operator=(const TNetLab&) = delete;

    // Which address families a machine on the public network speaks.
    enum class TFamily { IPv4, IPv6, Both };
    // A machine on the public network: 10.77.0.<host>/24 for IPv4 and
    // fd5a::<host>/64 for IPv6. A machine of one family has no address of
    // the other (an IPv4 one not even a link-local IPv6 address), so it has
    // no route to a machine of the other family.
    void AddPublic(const std::string& name, int host, TFamily family = TFamily::IPv4);
    // A machine at 192.168.1.2 behind a router of its own whose public
    // address is 10.77.0.<routerHost>; nothing is forwarded to it.
    void AddBehindNat(const std::string& name, int routerHost);
    static std::string PublicAddress(int host) { return "10.77.0." + std::to_string(host); }
    static std::string PrivateAddress() { return "192.168.1.2"; }
    static std::string PublicAddress6(int host) { return "fd5a::" + std::to_string(host); }

    // The hosts file programs of the machine read (`ip netns exec` puts
    // /etc/netns/<namespace>/hosts over /etc/hosts); "<address> <name>" lines.
    void SetHosts(const std::string& name, const std::string& lines);

    // Cuts a machine (or its router) off the public network, or joins it again.
    void Cut(const std::string& name, bool cut);
    // Shell helpers shared with other labs: runs a command quietly (its exit
    // code), or throws when it fails; removes the namespaces "<mark><pid>-..."
    // of lab processes that are gone.
    static int Run(const std::string& command);
    static void Must(const std::string& command);
    static void SweepLeftovers(const std::string& mark);

    // The command prefix that runs a program in the machine's namespace.
    std::vector<std::string> Inside(const std::string& name) const;
    // The namespace a machine of this lab runs in ("wan": the public
    // network's bridge).
    std::string NamespaceOf(const std::string& name) const { return Ns(name); }
    // The namespaces of this lab, for a test that checks they are gone.
    const std::vector<std::string>& Namespaces() const { return namespaces_; }

  private:
    std::string Ns(const std::string& name) const { return prefix_ + name; }
    void NewNamespace(const std::string& name);
    // Connects two namespaces by a veth pair (a end, b end).
    void Wire(const std::string& a, const std::string& aIf, const std::string& b,
              const std::string& bIf);
    void In(const std::string& name, const std::string& command);
    void Remove();

    std::string prefix_;
    std::vector<std::string> namespaces_;
};
