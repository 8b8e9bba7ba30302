#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Diagnostics.h"
#include "platform/foundation/Registry.h"

namespace telvo {
namespace {

struct Counter {
    int value = 0;
};

RegisteredClass counterClass(const std::string& name, int start) {
    RegisteredClass cls(name);
    cls.classSelector("initWithParam:",
                      [](const RegistryArgs& args) -> std::any {
                          auto c = std::make_shared<Counter>();
                          if (auto* v = registryArg<int>(args, 0)) c->value = *v;
                          return RegistryInstance(c);
                      })
        .classSelector("start", [start](const RegistryArgs&) -> std::any { return start; })
        .instanceSelector("add:", [](const RegistryInstance& self, const RegistryArgs& args) {
            auto* c = static_cast<Counter*>(self.get());
            c->value += registryArgRef<int>(args, 0);
            return std::any(c->value);
        });
    return cls;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setDiagnosticSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
        Registry::shared().registerTestClass(counterClass("QKTestCounter", 7));
    }
    void TearDown() override {
        Registry::shared().resetForTesting();
        setDiagnosticSink(nullptr);
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(RegistryTest, LooksUpExactNamesOnly) {
    struct Case {
        std::string cls, selector;
        bool found;
    };
    const std::vector<Case> cases = {
        {"QKTestCounter", "start", true},
        {"qktestcounter", "start", false},
        {"QKTestCounter ", "start", false},
        {"QKTestCounter", "Start", false},
        {"QKTestCounter", "start:", false},
        {"QKTestCounter", "add:", false},  // instance only
        {"", "", false},
        {"QKMissing", "start", false},
    };
    auto& r = Registry::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cls + " " + c.selector);
        EXPECT_EQ(r.respondsToClassSelector(c.cls, c.selector), c.found);
        auto result = r.performClassSelector(c.cls, c.selector);
        ASSERT_EQ(result.has_value(), c.found);
        if (c.found) {
            EXPECT_EQ(std::any_cast<int>(*result), 7);
        }
    }
    EXPECT_TRUE(r.hasClass("QKTestCounter"));
    EXPECT_FALSE(r.hasClass("QKTESTCOUNTER"));
    EXPECT_TRUE(r.respondsToInstanceSelector("QKTestCounter", "add:"));
    EXPECT_FALSE(r.respondsToInstanceSelector("QKTestCounter", "ADD:"));
}

// An initialiser, then an instance selector on what it made; misuse answers not found.
TEST_F(RegistryTest, InstanceSelectorsAndTheirMisuse) {
    auto& r = Registry::shared();
    auto self = std::any_cast<RegistryInstance>(
        *r.performClassSelector("QKTestCounter", "initWithParam:", {5}));
    EXPECT_FALSE(r.performInstanceSelector("QKTestCounter", "add:", self, {std::string("3")}));
    EXPECT_FALSE(r.performInstanceSelector("QKTestCounter", "add:", self, {}));
    EXPECT_FALSE(r.performInstanceSelector("QKTestCounter", "add:", nullptr, {3}));
    EXPECT_FALSE(r.performInstanceSelector("QKMissing", "add:", self, {3}));
    auto sum = r.performInstanceSelector("QKTestCounter", "add:", self, {3});
    ASSERT_TRUE(sum);
    EXPECT_EQ(std::any_cast<int>(*sum), 8);
    EXPECT_EQ(static_cast<Counter*>(self.get())->value, 8);
}

TEST_F(RegistryTest, EachMissingNameIsReportedOnce) {
    auto& r = Registry::shared();
    for (int i = 0; i < 3; ++i) {
        r.performClassSelector("QKMissing", "shareInstance");
        r.performClassSelector("QKTestCounter", "nothing");
        r.performInstanceSelector("QKTestCounter", "nothing", std::make_shared<Counter>());
    }
    auto logged = lines();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_NE(logged[0].find("QKMissing"), std::string::npos);
    EXPECT_NE(logged[1].find("+[QKTestCounter nothing]"), std::string::npos);
    EXPECT_NE(logged[2].find("-[QKTestCounter nothing]"), std::string::npos);

    r.resetForTesting();  // forgets what was reported
    r.performClassSelector("QKMissing", "shareInstance");
    EXPECT_EQ(lines().size(), 4u);
}

TEST_F(RegistryTest, TestClassesAreUndoneByReset) {
    auto& r = Registry::shared();
    r.registerClass(counterClass("QKLibraryCounter", 1));
    r.registerTestClass(counterClass("QKLibraryCounter", 2));
    r.registerTestClass(counterClass("QKLibraryCounter", 3));
    EXPECT_EQ(std::any_cast<int>(*r.performClassSelector("QKLibraryCounter", "start")), 3);

    r.resetForTesting();
    EXPECT_EQ(std::any_cast<int>(*r.performClassSelector("QKLibraryCounter", "start")), 1);
    EXPECT_FALSE(r.hasClass("QKTestCounter"));

    r.registerClass(counterClass("QKLibraryCounter", 4));  // a library class replaces its own
    EXPECT_EQ(std::any_cast<int>(*r.performClassSelector("QKLibraryCounter", "start")), 4);
}

TEST_F(RegistryTest, SelectorBodyMayUseTheRegistry) {
    RegisteredClass outer("QKTestOuter");
    outer.classSelector("shareInstance", [](const RegistryArgs&) -> std::any {
        return Registry::shared().performClassSelector("QKTestCounter", "start").value();
    });
    Registry::shared().registerTestClass(std::move(outer));
    auto result = Registry::shared().performClassSelector("QKTestOuter", "shareInstance");
    ASSERT_TRUE(result);
    EXPECT_EQ(std::any_cast<int>(*result), 7);
}

}  // namespace
}  // namespace telvo
