#include "platform/KeyedCollection.h"

#include "platform/Failures.h"

namespace platform {

void KeyedCollection::Add(const QString& item, const QString& key) {
    const QString folded = key.toCaseFolded();
    if (positionByKey_.contains(folded)) throw failures::make(failures::DuplicateKey);
    positionByKey_.insert(folded, items_.size());
    items_.append(item);
}

const QString& KeyedCollection::Item(const QString& key) const {
    const auto found = positionByKey_.constFind(key.toCaseFolded());
    if (found == positionByKey_.constEnd()) throw failures::make(failures::InvalidProcedureCall);
    return items_.at(*found);
}

const QString& KeyedCollection::Item(int position) const {
    if (position < 1 || position > Count()) throw failures::make(failures::InvalidProcedureCall);
    return items_.at(position - 1);
}

}  // namespace platform
