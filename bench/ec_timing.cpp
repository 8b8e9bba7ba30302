// Timing check of the P-256 operations on secret scalars, in the manner of dudect: one fixed
// scalar (1, so that nearly every window digit is zero) against random scalars, measured in
// random order, compared with Welch's t-test on all samples and on those below a few
// percentiles. |t| above 4.5 suggests that the time depends on the scalar. Run it on one
// core: taskset -c N. Optional argument: samples per operation (default 20000).

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "security/EccCore.h"

namespace {

using telvo::kEccSecp256r1;

struct Check {
    const char* name;
    // Runs the operation once with the 32-byte big-endian scalar.
    std::function<void(const uint8_t*)> run;
};

// Welch's t of the two classes' samples.
double welch(const std::vector<double>& a, const std::vector<double>& b) {
    auto moments = [](const std::vector<double>& v, double& mean, double& variance) {
        mean = 0;
        for (double x : v) mean += x;
        mean /= static_cast<double>(v.size());
        variance = 0;
        for (double x : v) variance += (x - mean) * (x - mean);
        variance /= static_cast<double>(v.size() - 1);
    };
    if (a.size() < 2 || b.size() < 2) return 0;
    double ma, va, mb, vb;
    moments(a, ma, va);
    moments(b, mb, vb);
    double se = std::sqrt(va / static_cast<double>(a.size()) + vb / static_cast<double>(b.size()));
    return se > 0 ? (ma - mb) / se : 0;
}

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (samples < 100) samples = 100;
    uint8_t peer[33], peerPriv[32];
    check(telvo::ecc_make_key(peer, peerPriv, kEccSecp256r1) == 1);
    const uint8_t hash[32] = {9, 8, 7};
    const Check checks[] = {
        {"k*G (public key)",
         [](const uint8_t* k) {
             uint8_t pub[33];
             check(telvo::ecc_compute_public_key(k, pub, kEccSecp256r1) == 1);
         }},
        {"d*Q (ECDH)",
         [&](const uint8_t* d) {
             uint8_t secret[32];
             check(telvo::ecdh_shared_secret(peer, d, secret, kEccSecp256r1) == 1);
         }},
        {"ECDSA sign (private key)",
         [&](const uint8_t* d) {
             uint8_t sig[64];
             check(telvo::ecdsa_sign(d, hash, sig, kEccSecp256r1) == 1);
         }},
    };

    std::mt19937_64 rng(std::random_device{}());
    double load[1] = {0};
    getloadavg(load, 1);
    std::printf(
        "P-256 timing, scalar 1 against random scalars, %d samples each operation in random "
        "order (load average %.1f).\nWelch's t on all samples and on those below the 50th, 90th "
        "and "
        "99th percentiles; |t| > 4.5 suggests a dependence on the scalar.\n",
        samples, load[0]);
    for (const Check& c : checks) {
        // Inputs are made before the measurements, so that making them disturbs no cache.
        std::vector<int> classes(static_cast<size_t>(samples));
        std::vector<std::array<uint8_t, 32>> scalars(classes.size());
        for (size_t i = 0; i < classes.size(); ++i) {
            classes[i] = static_cast<int>(rng() & 1);
            auto& scalar = scalars[i];
            scalar.fill(0);
            scalar[31] = 1;
            if (classes[i] == 1) {
                for (auto& b : scalar) b = static_cast<uint8_t>(rng());
                scalar[0] &= 0x7f;  // below n
            }
        }
        std::vector<double> times(classes.size());
        for (size_t i = 0; i < classes.size(); ++i) {
            auto start = std::chrono::steady_clock::now();
            c.run(scalars[i].data());
            auto stop = std::chrono::steady_clock::now();
            times[i] = std::chrono::duration<double, std::nano>(stop - start).count();
        }
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        std::printf("  %-26s", c.name);
        double worst = 0;
        struct Cut {
            const char* label;
            double percentile;
        };
        for (const Cut& cut : {Cut{"all", 100}, Cut{"p50", 50}, Cut{"p90", 90}, Cut{"p99", 99}}) {
            double percentile = cut.percentile;
            size_t index = std::min(
                sorted.size() - 1,
                static_cast<size_t>(percentile / 100.0 * static_cast<double>(sorted.size() - 1)));
            double limit = sorted[index];
            std::vector<double> fixedTimes, randomTimes;
            for (size_t i = 0; i < times.size(); ++i) {
                if (times[i] > limit) continue;
                (classes[i] == 0 ? fixedTimes : randomTimes).push_back(times[i]);
            }
            double t = welch(fixedTimes, randomTimes);
            worst = std::max(worst, std::fabs(t));
            std::printf(" %s %6.2f", cut.label, t);
        }
        std::printf("  %s\n", worst <= 4.5 ? "no dependence seen" : "DEPENDS ON THE SCALAR?");
    }
    return 0;
}
