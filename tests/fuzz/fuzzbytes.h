#pragma once

#include <cstddef>
#include <cstdint>

// The input's bytes, handed out one at a time; zeros once they run out.
class Bytes
{
public:
    Bytes(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_size == 0; }
    uint8_t next()
    {
        if (m_size == 0)
            return 0;
        --m_size;
        return *m_data++;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
};
