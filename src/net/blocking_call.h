// Runs blocking calls on a helper thread so that the caller can stop waiting
// for them after a time-out, whether or not the call itself honours one.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace corvana {

class BlockingCaller {
public:
    BlockingCaller() = default;
    ~BlockingCaller();
    BlockingCaller(const BlockingCaller&) = delete;
    BlockingCaller& operator=(const BlockingCaller&) = delete;

    // Runs job on the helper thread and waits for it at most dwTimeoutMs. False
    // when it has not finished by then: the helper is given up and ends once the
    // job returns, so the job must hold what it uses (shared, not borrowed).
    bool Run(std::function<void()> job, unsigned dwTimeoutMs);

private:
    struct Helper;
    std::shared_ptr<Helper> m_pHelper;
};

}  // namespace corvana
