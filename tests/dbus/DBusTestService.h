#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/dbus/DBusConnection.h"
#include "platform/dbus/DBusExportedObject.h"

namespace telvo {

// Readable values in test failures: type codes, texts and items.
inline void PrintTo(const DBusValue& v, std::ostream* os) {
    *os << v.signature() << ":";
    if (auto text = v.asString()) *os << '"' << *text << '"';
    if (auto path = v.asObjectPath()) *os << *path;
    if (auto n = v.asInteger()) *os << *n;
    if (auto bytes = v.asBytes()) *os << bytes->size() << " bytes";
    if (v.type() == DBusValue::Type::Variant) *os << "<";
    if (!v.items().empty()) {
        *os << "[";
        for (const auto& item : v.items()) {
            PrintTo(item, os);
            *os << " ";
        }
        *os << "]";
    }
}

}  // namespace telvo

namespace telvo::test {

// A small service exported with the library's server side, for the connection tests:
// "com.telvo.test.Echo" at kEchoPath with
//   Echo(v) -> v          answers its argument
//   Fail()                answers the error com.telvo.test.Error.Broken "broken"
//   Never()               keeps the call unanswered (held until the service goes)
//   Later() -> s          hands the call to takeLater(); the test answers it
//   Say(s)                emits Said(s) from kEchoPath, then answers
// and the properties Name (s, read-only), Level (u, writable), Anything (v, writable).
struct DBusTestService {
    static constexpr const char* kName = "com.telvo.test.Echo";
    static constexpr const char* kInterface = "com.telvo.test.Echo";
    static constexpr const char* kEchoPath = "/com/telvo/test/echo";

    explicit DBusTestService(const std::shared_ptr<DBusConnection>& connection,
                             std::string path = kEchoPath) {
        auto self = state;
        DBusInterface echo{
            kInterface,
            {
                {"Echo", "v", "v", [](auto call) { call->reply({call->args().at(0)}); }},
                {"Fail", "", "",
                 [](auto call) { call->replyError("com.telvo.test.Error.Broken", "broken"); }},
                {"Never", "", "",
                 [self](auto call) {
                     std::lock_guard lock(self->mutex);
                     self->held.push_back(call);
                 }},
                {"Later", "", "s",
                 [self](auto call) {
                     std::lock_guard lock(self->mutex);
                     self->later.push_back(call);
                 }},
                {"Say", "s", "",
                 [self, connection, path](auto call) {
                     connection->emitSignal(path, kInterface, "Said", "s", {call->args().at(0)});
                     call->reply();
                 }},
            },
            {
                {"Name", "s", DBusValue::ofString("echo"), false},
                {"Level", "u", DBusValue::ofUInt32(3), true},
                {"Anything", "v", DBusValue::ofInt32(0), true},
            }};
        object = connection->exportObject(std::move(path), {std::move(echo)});
        object->setWriteHandler(
            [self](const std::string&, const std::string& name, const DBusValue& value) {
                std::lock_guard lock(self->mutex);
                self->writes.emplace_back(name, value);
            });
    }

    std::shared_ptr<DBusMethodInvocation> takeLater() {
        std::lock_guard lock(state->mutex);
        if (state->later.empty()) return nullptr;
        auto call = state->later.front();
        state->later.erase(state->later.begin());
        return call;
    }
    std::vector<std::pair<std::string, DBusValue>> writes() {
        std::lock_guard lock(state->mutex);
        return state->writes;
    }

    struct State {
        std::mutex mutex;
        std::vector<std::shared_ptr<DBusMethodInvocation>> held, later;
        std::vector<std::pair<std::string, DBusValue>> writes;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::shared_ptr<DBusExportedObject> object;
};

}  // namespace telvo::test
