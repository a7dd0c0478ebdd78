#pragma once

#include <chrono>
#include <vector>

namespace tarn::client::impl::service::connection {

// How fast other hosts behind the same symmetric NAT take its ports, from the public ports that
// new flows of ours were given and the times their answers came. Such a NAT hands every new flow,
// ours or another host's, its next port; what our own flows do not account for is someone else's.
// Pure: the times are passed in.
class PortRate {
public:
    struct Sample {
        // The public port the NAT gave a flow of ours.
        int port;
        // When the answer naming it came, from any fixed origin.
        std::chrono::microseconds at;
    };

    // Ports per second that flows other than ours took, from samples in the order our flows were
    // made, with no new flow of ours between them that is not sampled. A sample that repeats an
    // earlier port (a flow made before) counts once; one that the first sample does not reach
    // along the port sequence (a mapping older than it, a NAT that wrapped elsewhere) is left out,
    // and the next sample is tried as the first. Negative when no two samples span kShortestSpan.
    static double estimate(const std::vector<Sample>& samples, int increment);
    // Samples closer in time say nothing: one foreign port between two answers of one burst would
    // read as thousands per second.
    static constexpr std::chrono::milliseconds kShortestSpan{100};
};

}  // namespace tarn::client::impl::service::connection
