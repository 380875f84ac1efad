// Built with ThreadSanitizer, apart from the other tests (it cannot share a build with
// AddressSanitizer): asks a queue from another thread whether it is current while the
// queue's runner is taking it over, as the HTTP work queue asks the main queue while the
// main thread starts running it. A race there makes ThreadSanitizer fail the program.

#include "base/SerialQueue.hpp"

#include <cstdio>
#include <thread>

int main()
{
    for (int round = 0; round < 20; ++round) {
        SerialQueue queue("race", SerialQueue::OnCallingThread{});
        std::thread runner([&] { queue.runForever(); });
        bool current = false;
        while (!current) {
            if (queue.isCurrent()) {
                std::fprintf(stderr, "a thread that is not the runner was told it is current\n");
                return 1;
            }
            queue.sync([&] { current = queue.isCurrent(); });
        }
        queue.context().stop();
        runner.join();
    }
    return 0;
}
