// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A set of byte strings held in one arena with an open-addressed table
// beside it: a lookup is one hash and a probe or two, with no allocation, and
// the whole set goes with three frees. The listing tests every matching
// descriptor against it.
class ByteStringSet
{
public:
    bool contains(std::string_view bytes) const;
    // Adds bytes (not empty); the caller has checked it is not there yet.
    void insert(std::string_view bytes);
    std::size_t size() const { return m_count; }

private:
    struct Slot
    {
        std::size_t hash = 0;
        std::uint32_t offset = 0;
        std::uint32_t length = 0; // 0: the slot is empty
    };

    static std::size_t hashOf(std::string_view bytes);
    const Slot *find(std::string_view bytes, std::size_t hash) const;
    void place(const Slot &slot);
    void grow();

    std::vector<Slot> m_slots;
    std::string m_bytes;
    std::size_t m_count = 0;
};
