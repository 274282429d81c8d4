#include "Texts.h"

namespace identity {

std::string KeyChangedWarning(std::string_view address, const TFingerprint& old,
                              const TFingerprint& now) {
    return "警告: " + std::string(address) +
           " の部屋のホストの鍵が、前に入室したときと違います。\n"
           "  前の鍵: " + old.Short() + "\n"
           "  今の鍵: " + now.Short() + "\n"
           "通信の経路上で誰かがホストになりすましている(攻撃の)おそれがあります。"
           "ホストがパソコンや Parlora を入れ直しただけのこともあります。"
           "相手に鍵を確かめられないときは入室しないで下さい。\n"
           "入室すると、今後はこの新しい鍵を信頼します。";
}

std::string KeyChangedEnglish(std::string_view address, const TFingerprint& old,
                              const TFingerprint& now) {
    return "WARNING: the host key of the room at " + std::string(address) +
           " is not the one seen there before.\n"
           "  before: " + old.Short() + "\n"
           "  now:    " + now.Short() + "\n"
           "Someone on the path may be posing as the host (an attack), or the host was "
           "reinstalled. Entering trusts the new key from now on.";
}

} // namespace identity
