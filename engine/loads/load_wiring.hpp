// How a load's per-phase or per-pair currents are wired onto its ports.
//
// Star, n ports (phases 0..n-2, neutral n-1), one set-point per phase:
//     U_i = V_i - V_(n-1)                 i = 0..n-2   (U_i = V_i when the neutral's node is
//                                                      grounded)
//     port i   := I_i
//     port n-1 := 0 - I_0 - I_1 - ... - I_(n-2)      (the return current; 0 when n = 1)
// Delta, n ports (all phases), one set-point per pair i = (port i, port (i+1) mod n):
//     U_i = V_i - V_((i+1) mod n)        i = 0..n-1
//     port i   := I_i - I_((i-1) mod n)              (port 0 := I_0 - I_(n-1))
// where I_i = Law::current(set-point i, U_i), or any per-phase law current(i, U_i) (the flexible
// loads give each phase its own parameter object). Port currents are positive into the load.
//
// Every formation runs on one of the two readings of model/reading.hpp: plain numbers (node and
// holder read rules, the ports' `current`) or the tape (the recorded parts, the ports'
// `current_ad`).
#pragma once

#include <cstddef>
#include <vector>

#include "model/reading.hpp"
#include "model/variable_list.hpp"

namespace meshvolt {

struct StarWiring {
    // n - 1 set-points; n = 0 asks for -1 of them, which the set-point list refuses.
    static long setpoint_count(int n) { return static_cast<long>(n) - 1; }

    // The neutral's return current: 0 - I_0 - ... - I_(n-2) over the phase currents written.
    template <class Reading>
    static void write_neutral_current(std::vector<Port>& ports) {
        const std::size_t neutral = ports.size() - 1;
        typename Reading::Value sum = Reading::zero();
        for (std::size_t i = 0; i < neutral; ++i) sum = sum - Reading::current(ports[i]);
        Reading::current(ports[neutral]) = sum;
    }

    // U_i by the reading's potentials; U_i = V_i when the neutral's node is grounded.
    template <class Reading>
    static typename Reading::Value phase_voltage(const std::vector<Port>& ports, std::size_t i) {
        const Port& neutral = ports.back();
        if (neutral.connection->grounded) return Reading::potential(ports[i]);
        return Reading::potential(ports[i]) - Reading::potential(neutral);
    }

    // port i := current(i, U_i) for every phase, then the neutral's return current.
    template <class Reading, class Current>
    static void write_law_currents(std::vector<Port>& ports, const Current& current) {
        if (ports.empty()) return;
        for (std::size_t i = 0; i + 1 < ports.size(); ++i)
            Reading::current(ports[i]) = current(i, phase_voltage<Reading>(ports, i));
        write_neutral_current<Reading>(ports);
    }
};

struct DeltaWiring {
    static long setpoint_count(int n) { return n; }

    template <class Reading>
    static typename Reading::Value pair_voltage(const std::vector<Port>& ports, std::size_t i) {
        return Reading::potential(ports[i]) - Reading::potential(ports[(i + 1) % ports.size()]);
    }

    // Pair i draws current(i, U_i); port i := I_i - I_((i-1) mod n).
    template <class Reading, class Current>
    static void write_law_currents(std::vector<Port>& ports, const Current& current) {
        const std::size_t n = ports.size();
        if (n == 0) return;
        // Every port needs its own pair current and the previous one: compute all pairs first.
        std::vector<typename Reading::Value> pair(n);
        for (std::size_t i = 0; i < n; ++i) pair[i] = current(i, pair_voltage<Reading>(ports, i));
        for (std::size_t i = 0; i < n; ++i)
            Reading::current(ports[i]) = pair[i] - pair[(i + n - 1) % n];
    }

    // The n pair currents I_i from the present potentials and set-points (not the port currents).
    template <class Law>
    static void pair_currents(const std::vector<Port>& ports, const SetpointList& setpoints,
                              Complex* out) {
        for (std::size_t i = 0; i < ports.size(); ++i)
            out[i] = Law::current(PlainReading::parameter(setpoints[i]),
                                  pair_voltage<PlainReading>(ports, i));
    }
};

}  // namespace meshvolt
