#pragma once
// Each test gets a settings folder of its own and sees the message boxes
// instead of blocking on them.
#include "support/TempDir.h"

#include "platform/ErrorHandler.h"
#include "platform/TRegistry.h"

#include <QString>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class TSettingsTest : public ::testing::Test {
  protected:
    struct TBox {
        QString Text, Caption;
        unsigned Flags;
    };

    void SetUp() override {
        if (const char* old = std::getenv("PARLORA_REGISTRY_DIR")) oldDir_ = old;
        UseRegistryDir(dir_.Path().string());
        platform::SetMessageBoxHook(
            [this](const QString& text, const QString& caption, unsigned flags) {
                Boxes.push_back({text, caption, flags});
                return platform::IDOK;
            });
    }
    void TearDown() override {
        platform::SetMessageBoxHook({});
        UseRegistryDir(oldDir_);
    }
    static void UseRegistryDir(const std::string& dir) {
        ::setenv("PARLORA_REGISTRY_DIR", dir.c_str(), 1);
    }

    // Raw access to the machine-wide tree, as a person editing it would have.
    static platform::RegStore& Machine() {
        return platform::RegStore::For(platform::RegRoot::LocalMachine);
    }
    static std::string Dword(uint32_t v) {
        std::string d;
        for (int i = 0; i < 4; ++i)
            d.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        return d;
    }
    static void PutDword(const char* key, const char* name, uint32_t v) {
        ASSERT_TRUE(Machine().CreateKey(key));
        ASSERT_TRUE(Machine().SetValue(key, name, platform::REG_DWORD, Dword(v)));
    }
    static void PutString(const char* key, const char* name, const std::string& s) {
        ASSERT_TRUE(Machine().CreateKey(key));
        ASSERT_TRUE(Machine().SetValue(key, name, platform::REG_SZ, s));
    }

    testsupport::TempDir dir_;
    std::string oldDir_;
    std::vector<TBox> Boxes;
};
