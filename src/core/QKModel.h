#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "telvosdk/Value.h"

namespace telvo {

// NSObject(QKModel): maps an object to a JSON-style dictionary of its properties and back,
// by property name. A class takes part by declaring its properties once:
//
//   static const QKModelMapping<Frame>& modelMapping() {
//       static const auto m = QKModelMapping<Frame>().property("msgType", &Frame::msgType);
//       return m;
//   }
//
// Properties are integers (any width; a number is converted to the property's width as a
// cast does), bool, double or text.
template <class T>
class QKModelMapping {
  public:
    template <class M>
    QKModelMapping property(std::string name, M T::*member) const {
        static_assert(std::is_arithmetic_v<M> || std::is_same_v<M, std::string>,
                      "a mapped property is a number, a bool or a text");
        QKModelMapping copy = *this;
        copy.properties_.push_back(
            {std::move(name), [member](const T& object) { return Value(object.*member); },
             [member](T& object, const Value& value) { assign(object.*member, value); }});
        return copy;
    }

    Value modelToJSONObject(const T& object) const {
        Dictionary out;
        for (const auto& p : properties_) out.set(p.name, p.get(object));
        return out;
    }

    // Every property whose name the dictionary holds takes its value; the others keep their
    // initial value. nullptr when json is not a dictionary.
    std::shared_ptr<T> modelWithJSON(const Value& json) const {
        if (!json.isDictionary()) return nullptr;
        auto object = std::make_shared<T>();
        for (const auto& p : properties_)
            if (const Value* v = json.dictionary().find(p.name); v && !v->isNull())
                p.set(*object, *v);
        return object;
    }

  private:
    struct Property {
        std::string name;
        std::function<Value(const T&)> get;
        std::function<void(T&, const Value&)> set;
    };

    template <class M>
    static void assign(M& field, const Value& value) {
        if constexpr (std::is_same_v<M, bool>)
            field = value.boolValue();
        else if constexpr (std::is_same_v<M, std::string>)
            field = value.stringValue();
        else if constexpr (std::is_floating_point_v<M>)
            field = static_cast<M>(value.doubleValue());
        else if constexpr (std::is_unsigned_v<M> && sizeof(M) == 8)
            field = static_cast<M>(value.uint64Value());
        else
            field = static_cast<M>(value.int64Value());
    }

    std::vector<Property> properties_;
};

template <class T>
Value modelToJSONObject(const T& object) {
    return T::modelMapping().modelToJSONObject(object);
}

template <class T>
std::shared_ptr<T> modelWithJSON(const Value& json) {
    return T::modelMapping().modelWithJSON(json);
}

}  // namespace telvo
