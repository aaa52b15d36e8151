// SPDX-License-Identifier: GPL-2.0-or-later
#include "bytestringset.h"

#include <cassert>
#include <functional>

std::size_t ByteStringSet::hashOf(std::string_view bytes)
{
    return std::hash<std::string_view>{}(bytes);
}

const ByteStringSet::Slot *ByteStringSet::find(std::string_view bytes, std::size_t hash) const
{
    if (m_slots.empty())
        return nullptr;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot &slot = m_slots[i];
        if (slot.length == 0)
            return nullptr;
        if (slot.hash == hash && slot.length == bytes.size()
            && std::string_view(m_bytes.data() + slot.offset, slot.length) == bytes)
            return &slot;
    }
}

bool ByteStringSet::contains(std::string_view bytes) const
{
    return find(bytes, hashOf(bytes)) != nullptr;
}

void ByteStringSet::place(const Slot &slot)
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = slot.hash & mask;
    while (m_slots[i].length != 0)
        i = (i + 1) & mask;
    m_slots[i] = slot;
}

void ByteStringSet::grow()
{
    std::vector<Slot> old(m_slots.empty() ? 64 : m_slots.size() * 2);
    old.swap(m_slots);
    for (const Slot &slot : old) {
        if (slot.length != 0)
            place(slot);
    }
}

void ByteStringSet::insert(std::string_view bytes)
{
    assert(!bytes.empty() && bytes.size() <= UINT32_MAX && !contains(bytes));
    // At most half full, so probes stay short.
    if ((m_count + 1) * 2 > m_slots.size())
        grow();
    const Slot slot{hashOf(bytes), static_cast<std::uint32_t>(m_bytes.size()),
                    static_cast<std::uint32_t>(bytes.size())};
    m_bytes.append(bytes);
    place(slot);
    ++m_count;
}
