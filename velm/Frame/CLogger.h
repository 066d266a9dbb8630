#pragma once

namespace Logging
{
// A named logger channel. The library builds its channels but emits no records, so a channel is
// only its name; the constructor is constexpr so channels are ready before any code runs.
class CLogger
{
public:
    constexpr explicit CLogger(const wchar_t* channel) : m_channel(channel) {}
    constexpr const wchar_t* GetChannelName() const { return m_channel; }

private:
    const wchar_t* m_channel;
};
} // namespace Logging
