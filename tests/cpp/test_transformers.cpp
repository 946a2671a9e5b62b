// The transformer elements on their own: their current laws against energy balance and the ideal
// ratio, the vector groups of the three-phase transformer against the clock, the no-load and
// short-circuit test computations by hand, the parameter layout and updates, the single-phase
// transformer's sweep steps, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "sweep_helpers.hpp"
#include "tape_fixture.hpp"
#include "transformers/center_transformer.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/three_phase_transformer.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double pi = std::acos(-1.0);
const double sqrt3 = std::sqrt(3.0);

// Σ V·conj(I) over the given ports: the complex power flowing into the element there.
Complex power_into(const Element& e, int first, int last) {
    Complex s(0.0, 0.0);
    for (int i = first; i < last; ++i) s += potential(e, i) * std::conj(e.ports[i].current);
    return s;
}

Complex side_current_sum(const std::vector<Port*>& side) {
    Complex sum(0.0, 0.0);
    for (const Port* p : side) sum += p->current;
    return sum;
}

// Unbalanced, unrelated potentials for up to 8 ports.
const std::vector<Complex> scattered = {{231.0, 4.0},  {-112.0, -198.0}, {-121.0, 203.0},
                                        {3.0, -2.0},   {57.0, 11.0},     {-31.0, -49.0},
                                        {-26.0, 52.0}, {1.5, 0.5}};

// --- the single-phase transformer ----------------------------------------------------------

TEST(SingleTransformer, AtTheIdealRatioOnlyTheMagnetisingCurrentFlows) {
    const Complex ym(2e-3, -5e-3), k = std::polar(0.25, 0.3);
    SingleTransformer t(Complex(0.4, 1.1), ym, k);
    set_potentials(t, {1.0, 0.0, k, 0.0});
    t.compute_currents(false);
    expect_close(t.ports[2].current, 0.0, relative(1e-15));
    expect_close(t.ports[0].current, ym, relative(1e-15));
    expect_close(t.ports[1].current, -ym, relative(1e-15));
}

// Whatever the potentials, the power into both sides is what the windings absorb: the
// magnetising branch conj(ym)·|U1|² and the series impedance z2·|I2|². A complex ratio (a phase
// shift) stores no energy.
TEST(SingleTransformer, PowerIntoBothSidesIsWhatTheImpedancesAbsorb) {
    const Complex z2(0.05, 0.2), ym(1e-3, -4e-3);
    for (const Complex k : {Complex(0.5, 0.0), std::polar(0.5, -pi / 6)}) {
        SingleTransformer t(z2, ym, k);
        set_potentials(t, {scattered[0], scattered[3], scattered[4], scattered[5]});
        t.compute_currents(false);
        const Complex u1 = scattered[0] - scattered[3];
        const Complex i2 = t.ports[2].current;
        expect_close(power_into(t, 0, 4), std::conj(ym) * std::norm(u1) + z2 * std::norm(i2));
        expect_close(t.ports[1].current, -t.ports[0].current, relative(0.0));
        expect_close(t.ports[3].current, -i2, relative(0.0));
    }
}

// The backward step takes I2 from the balance of the LV node the sweeps move, whatever the other
// LV node's members carry, and the forward step solves the law for that node's potential: the
// LV-a node, V2a = V2b + k·U1 + z2·I2; or, behind a grounded LV-a node (a centre tap), the LV-b
// node, V2b = V2a - k·U1 - z2·I2 with V2a reading 0.
TEST(SingleTransformer, SweepStepsInvertTheCurrentLaw) {
    const Complex z2(0.1, 0.3), ym(1e-3, -2e-3), k(0.5, 0.1);
    for (bool centre_on_a : {false, true}) {
        SCOPED_TRACE(centre_on_a ? "LV a grounded" : "LV a free");
        const int moved = centre_on_a ? 3 : 2;
        const int other = 5 - moved;
        SingleTransformer t(z2, ym, k);
        testing::CurrentSink load(Complex(3.0, -1.0));
        testing::CurrentSink beside(Complex(7.0, 7.0));
        t.connect(load, {{moved, 0}});
        t.connect(beside, {{other, 0}});
        if (centre_on_a) t.ports[2].connection->grounded = true;
        load.backward_step();
        beside.backward_step();
        const Complex moved_start = centre_on_a ? Complex(-190.0, 5.0) : Complex(190.0, -5.0);
        const Complex other_start = centre_on_a ? Complex(6.0, 6.0) : Complex(1.0, 2.0);
        set_potentials(t, {Complex(400.0, 0.0), Complex(0.0, 0.0),
                           centre_on_a ? other_start : moved_start,
                           centre_on_a ? moved_start : other_start});

        t.backward_step();
        // The load draws 3 - j from the moved node, which the transformer alone feeds: through
        // port 2 (I2 = -(3 - j)), or through port 3 (-I2 = -(3 - j)).
        const Complex i2 = centre_on_a ? Complex(3.0, -1.0) : Complex(-3.0, 1.0);
        expect_close(t.ports[2].current, i2, relative(0.0));
        expect_close(t.ports[3].current, -i2, relative(0.0));
        const Complex i1 = ym * 400.0 - std::conj(k) * i2;
        expect_close(t.ports[0].current, i1);
        expect_close(t.ports[1].current, -i1);

        const double change = t.forward_step();
        const Complex written =
            centre_on_a ? -k * 400.0 - z2 * i2 : other_start + k * 400.0 + z2 * i2;
        expect_close(potential(t, moved), written);
        EXPECT_DOUBLE_EQ(change, std::max(std::abs((written - moved_start).real()),
                                          std::abs((written - moved_start).imag())));
        if (centre_on_a) {
            EXPECT_EQ(potential(t, 2), Complex(0.0, 0.0));
            EXPECT_EQ(t.ports[2].connection->potential.value, other_start);  // not written
        }
        // At the written potentials the plain law gives back the same LV current.
        t.compute_currents(false);
        expect_close(t.ports[2].current, i2);
    }
}

// Both LV nodes grounded: nothing can move, the LV-a node is written as when it is free and keeps
// reading 0, and the measure is that of the written potential, nonzero while the law fails.
TEST(SingleTransformer, ForwardStepIntoAGroundedNodeWritesButReadsZero) {
    SingleTransformer t(Complex(0.1, 0.3), Complex(0.0, 0.0), Complex(0.5, 0.0));
    t.ports[2].connection->grounded = true;
    t.ports[3].connection->grounded = true;
    set_potentials(t, {Complex(100.0, 20.0), Complex(0.0, 0.0), Complex(0.0, 0.0), Complex(0.0, 0.0)});
    t.ports[2].current = Complex(0.0, 0.0);
    const double change = t.forward_step();
    EXPECT_DOUBLE_EQ(change, 50.0);  // W = 0.5·(100 + 20j)
    EXPECT_EQ(potential(t, 2), Complex(0.0, 0.0));
    EXPECT_EQ(t.ports[2].connection->potential.value, Complex(50.0, 10.0));
}

// --- the centre-tapped transformer ---------------------------------------------------------

TEST(CenterTransformer, HalfWindingsAtHalfTheRatioCarryNoCurrent) {
    const Complex ym(1e-3, -3e-3);
    CenterTransformer t(Complex(0.02, 0.04), ym, 0.1);
    const Complex u1(230.0, 40.0), n(2.0, -1.0);
    set_potentials(t, {u1 + 5.0, Complex(5.0, 0.0), n + 0.05 * u1, n - 0.05 * u1, n});
    t.compute_currents(false);
    for (int port = 2; port < 5; ++port) expect_close(t.ports[port].current, 0.0, relative(1e-12));
    expect_close(t.ports[0].current, ym * u1, relative(1e-12));
}

TEST(CenterTransformer, EachSideBalancesAndOnlyTheRealRatioCounts) {
    const Complex z2(0.02, 0.04), ym(1e-3, -3e-3);
    const std::vector<Complex> v = {scattered[0], scattered[3], scattered[4], scattered[5], scattered[7]};
    CenterTransformer real_k(z2, ym, 2.0);
    CenterTransformer complex_k(z2, ym, 2.0);
    complex_k.update_transformer_parameters(z2, ym, Complex(2.0, 1.0));
    for (CenterTransformer* t : {&real_k, &complex_k}) {
        set_potentials(*t, v);
        t->compute_currents(false);
        expect_close(side_current_sum(t->side1), 0.0, relative(1e-12));
        expect_close(side_current_sum(t->side2), 0.0, relative(1e-12));
        // Power balance of the two half-windings of impedance z2/2 each.
        const Complex i2a = t->ports[2].current, i2b = t->ports[3].current;
        expect_close(power_into(*t, 0, 5), std::conj(ym) * std::norm(v[0] - v[1]) +
                                               z2 / 2.0 * (std::norm(i2a) + std::norm(i2b)));
    }
    for (int port = 0; port < 5; ++port)
        expect_close(complex_k.ports[port].current, real_k.ports[port].current, relative(0.0));
}

// --- the three-phase transformer -----------------------------------------------------------

struct WindingPair {
    const char* hv;
    const char* lv;
    // The realised clocks, and λ0: the ratio of the LV to the HV winding voltage at rated line
    // voltages 1 V on both sides. A delta winding sees the line voltage, a star winding the phase
    // voltage 1/√3; a zigzag half-winding sees a phase voltage from two HV windings in series
    // (magnitude √3 times one), hence 1/√3 from star and 1/3 from delta.
    std::vector<int> clocks;
    double lambda0;
};

const std::vector<int> even_clocks = {0, 2, 4, 6, 8, 10};
const std::vector<int> odd_clocks = {1, 5, 7, 11};

const std::vector<WindingPair> winding_pairs = {
    {"D", "d", even_clocks, 1.0},          {"Y", "y", even_clocks, 1.0},
    {"D", "z", even_clocks, 1.0 / 3.0},    {"D", "y", odd_clocks, 1.0 / sqrt3},
    {"Y", "d", odd_clocks, sqrt3},         {"Y", "z", odd_clocks, 1.0 / sqrt3},
};

int ports_for(const std::string& code) { return code == "D" || code == "d" ? 3 : 4; }

ThreePhaseTransformer make(const WindingPair& pair, int clock, Complex z2, Complex ym, double k) {
    return ThreePhaseTransformer(ports_for(pair.hv), ports_for(pair.lv), pair.hv, pair.lv, z2, ym, k,
                                 clock);
}

bool realised(const WindingPair& pair, int clock) {
    for (int c : pair.clocks)
        if (c == clock) return true;
    return false;
}

std::string label(const WindingPair& pair, int clock) {
    return std::string(pair.hv) + pair.lv + std::to_string(clock);
}

// The no-load test puts rated positive-sequence voltages on both sides, the LV ones lagging by
// clock·30°. At the pair's ratio the LV windings then carry no current, for every clock the pair
// realises.
TEST(ThreePhaseTransformer, NoLoadVoltagesMatchTheWindingsAtEveryRealisedClock) {
    const double uhv = 20e3, ulv = 400.0;
    for (const WindingPair& pair : winding_pairs) {
        for (int clock : pair.clocks) {
            SCOPED_TRACE(label(pair, clock));
            const double kr = pair.lambda0 * ulv / uhv;
            ThreePhaseTransformer t = make(pair, clock, Complex(0.01, 0.04), Complex(0.0, 0.0), kr);
            t.compute_open_circuit_parameters(uhv, ulv, 250e3);
            const double rated_lv = 250e3 / (sqrt3 * ulv);
            for (const Port* p : t.side2) EXPECT_LT(std::abs(p->current), 1e-9 * rated_lv);
            // The HV side carries nothing without a magnetising admittance.
            for (const Port* p : t.side1) EXPECT_LT(std::abs(p->current), 1e-9 * rated_lv);
        }
    }
}

// A clock that the winding pair cannot realise has no matrices that any real ratio makes agree
// with the no-load voltages: it is refused at construction, naming the clocks the pair takes.
TEST(ThreePhaseTransformer, ClocksThePairDoesNotRealiseAreRefused) {
    for (const WindingPair& pair : winding_pairs) {
        std::string taken;
        for (int c : pair.clocks) taken += (taken.empty() ? "" : ", ") + std::to_string(c);
        for (int clock = -1; clock <= 12; ++clock) {
            SCOPED_TRACE(label(pair, clock));
            const std::string built = error_message([&] {
                make(pair, clock, Complex(0.01, 0.04), Complex(0.0, 0.0), 0.02);
            });
            if (realised(pair, clock))
                EXPECT_EQ(built, "no exception");
            else
                EXPECT_EQ(built, "Clock " + std::to_string(clock) + " is not realisable by a " +
                                     pair.hv + pair.lv + " transformer: it takes clocks " + taken);
        }
    }
}

// Currents of each side sum to zero, and with a lossless winding pair (ym = 0, z2 = jx) no active
// power enters the transformer, whatever the potentials: the current matrices are the transposes
// of the winding matrices and the orientation is the same on both ends. With a real magnetising
// conductance g the power taken is g times the squared winding voltages: the phase-to-neutral
// voltages of a star, the line voltages of a delta.
TEST(ThreePhaseTransformer, EveryGroupBalancesCurrentsAndConservesPower) {
    const double g = 2e-4;
    for (const WindingPair& pair : winding_pairs) {
        for (int clock : pair.clocks) {
            SCOPED_TRACE(label(pair, clock));
            ThreePhaseTransformer t = make(pair, clock, Complex(0.0, 0.3), Complex(g, -1e-3), 0.05);
            std::vector<Complex> v(scattered.begin(), scattered.begin() + t.port_count());
            set_potentials(t, v);
            t.compute_currents(false);
            expect_close(side_current_sum(t.side1), 0.0, relative(1e-12));
            expect_close(side_current_sum(t.side2), 0.0, relative(1e-12));
            double squared = 0.0;
            if (std::string(pair.hv) == "Y")
                for (int i = 0; i < 3; ++i) squared += std::norm(v[i] - v[3]);
            else
                for (int i = 0; i < 3; ++i) squared += std::norm(v[i] - v[(i + 1) % 3]);
            EXPECT_NEAR(power_into(t, 0, t.port_count()).real(), g * squared, 1e-9 * g * squared);
        }
    }
}

// Yy0 is one single-phase transformer per phase; Yy6 reverses the LV winding; Yy4 feeds the LV
// a-winding, connected to phase c, from the HV a-winding.
TEST(ThreePhaseTransformer, StarStarGroupsReduceToSinglePhaseLaws) {
    const Complex z2(0.02, 0.06), ym(1e-4, -6e-4);
    const double k = 0.02;
    std::vector<Complex> v(scattered.begin(), scattered.begin() + 8);
    for (int clock : {0, 4, 6}) {
        SCOPED_TRACE(clock);
        ThreePhaseTransformer t(4, 4, "Y", "y", z2, ym, k, clock);
        set_potentials(t, v);
        t.compute_currents(false);
        EXPECT_EQ(t.orientation, clock == 6 ? -1.0 : 1.0);
        const int lv_of_a = clock == 4 ? 2 : 0;  // LV phase port driven by the HV a-winding
        const Complex u1 = v[0] - v[3], u2 = v[4 + lv_of_a] - v[7];
        const double o = t.orientation;
        const Complex j2 = o * (u2 - o * k * u1) / z2;
        expect_close(t.ports[4 + lv_of_a].current, o * j2);
        expect_close(t.ports[0].current, ym * u1 - k * j2);
    }
}

// Dz0: the ratio scales the coupling matrices before they act, (kr·Cv)·U1 and (kr·Ci)·J2, so the
// currents are the products of the scaled rows to the last bit. Cv = I - Pᵀ drives LV winding a
// from the HV windings a and c; Ci = -(I - P) loads HV winding a from the LV windings a and b.
TEST(ThreePhaseTransformer, ZigzagCouplingsTakeTheRatioIntoTheirMatrices) {
    const Complex z2(0.013, 0.047), ym(1e-4, -7e-4);
    const double kr = 0.0123;
    ThreePhaseTransformer t(3, 4, "D", "z", z2, ym, kr, 0);
    const std::vector<Complex> v(scattered.begin(), scattered.begin() + 7);
    set_potentials(t, v);
    t.compute_currents(false);
    const Complex u1[3] = {v[0] - v[1], v[1] - v[2], v[2] - v[0]};
    const Complex y = 1.0 / z2;
    Complex j2[3];
    for (int i = 0; i < 3; ++i) {
        const int previous = (i + 2) % 3;
        const Complex driving = i == 0 ? kr * u1[0] + -kr * u1[2]
                                       : -kr * u1[previous] + kr * u1[i];
        j2[i] = y * ((v[3 + i] - v[6]) - driving);
        EXPECT_EQ(t.ports[3 + i].current, j2[i]);
    }
    // HV winding currents a and c; the HV a port carries J1a - J1c.
    const Complex j1a = ym * u1[0] + (-kr * j2[0] + kr * j2[1]);
    const Complex j1c = ym * u1[2] + (kr * j2[0] + -kr * j2[2]);
    EXPECT_EQ(t.ports[0].current, j1a - j1c);
}

TEST(ThreePhaseTransformer, StarSidesHaveANeutralPortAndDeltaSidesNone) {
    ThreePhaseTransformer dyn(3, 4, "D", "y", Complex(0.01, 0.03), Complex(0.0, 0.0), 0.02, 11);
    EXPECT_EQ(dyn.side1.size(), 3u);
    EXPECT_EQ(dyn.side2.size(), 4u);
    set_potentials(dyn, std::vector<Complex>(scattered.begin(), scattered.begin() + 7));
    dyn.compute_currents(false);
    expect_close(dyn.ports[6].current,
                 -(dyn.ports[3].current + dyn.ports[4].current + dyn.ports[5].current),
                 relative(0.0));
}

// --- the test computations -----------------------------------------------------------------

// No load, at a complex ratio of the rated voltages: the LV-a node turns with arg k, no LV current,
// the HV side draws ym·uhv.
TEST(TransformerTestComputations, SinglePhaseNoLoadByHand) {
    const double uhv = 400.0, ulv = 100.0, sn = 5e3, phi = 0.4;
    const Complex ym(3e-4, -2e-3);
    SingleTransformer t(Complex(0.1, 0.2), ym, std::polar(ulv / uhv, phi));
    const auto [p, i0] = t.compute_open_circuit_parameters(uhv, ulv, sn);
    expect_close(potential(t, 0), uhv);
    expect_close(potential(t, 2), std::polar(ulv, phi));
    EXPECT_EQ(potential(t, 3), Complex(0.0, 0.0));
    expect_close(t.ports[2].current, 0.0, relative(1e-12));
    EXPECT_NEAR(p, ym.real() * uhv * uhv, 1e-9);
    EXPECT_NEAR(i0, std::abs(ym) * uhv * uhv / sn, 1e-12);
}

// Short circuit at rated current: vsc = sn·|z2|/ulv², and the losses are those of the winding
// resistance at the rated LV current sn/ulv (the centre-tapped transformer is the same pair of
// windings split in two halves).
TEST(TransformerTestComputations, SinglePhaseAndCentreTappedShortCircuitByHand) {
    const double uhv = 400.0, ulv = 200.0, sn = 10e3;
    const Complex z2(0.08, 0.15);
    const double vsc = sn * std::abs(z2) / (ulv * ulv);
    const double losses = (sn / ulv) * (sn / ulv) * z2.real();
    SingleTransformer single(z2, Complex(0.0, 0.0), ulv / uhv);
    CenterTransformer center(z2, Complex(0.0, 0.0), ulv / uhv);
    const auto [p1, v1] = single.compute_short_circuit_parameters(uhv, ulv, sn);
    const auto [p2, v2] = center.compute_short_circuit_parameters(uhv, ulv, sn);
    EXPECT_DOUBLE_EQ(v1, vsc);
    EXPECT_DOUBLE_EQ(v2, vsc);
    EXPECT_NEAR(p1, losses, 1e-9 * losses);
    EXPECT_NEAR(p2, losses, 1e-9 * losses);
    expect_close(potential(center, 0) - potential(center, 1), uhv * vsc);
    expect_close(potential(center, 0), uhv * vsc / 2);
    // The magnetising admittance and a phase shift do not change vsc.
    single.update_transformer_parameters(z2, Complex(1e-3, -1e-2), Complex(0.0, 3.0));
    EXPECT_DOUBLE_EQ(single.compute_short_circuit_parameters(uhv, ulv, sn).second, vsc);
}

TEST(TransformerTestComputations, CentreTappedNoLoadTurnsWithTheRatiosAngle) {
    const double uhv = 240.0, ulv = 120.0;
    const Complex ym(1e-3, -1e-2);
    CenterTransformer t(Complex(0.02, 0.03), ym, ulv / uhv);
    auto [p, i0] = t.compute_open_circuit_parameters(uhv, ulv, 2e3);
    expect_close(potential(t, 2), ulv / 2);
    expect_close(potential(t, 3), -ulv / 2);
    for (int port = 2; port < 5; ++port) expect_close(t.ports[port].current, 0.0, relative(1e-12));
    EXPECT_NEAR(p, ym.real() * uhv * uhv, 1e-9);
    EXPECT_NEAR(i0, std::abs(ym) * uhv * uhv / 2e3, 1e-12);
    t.update_transformer_parameters(Complex(0.02, 0.03), ym, Complex(2.0, 1.0));
    t.compute_open_circuit_parameters(uhv, ulv, 2e3);
    expect_close(potential(t, 2), std::polar(ulv / 2, std::atan2(1.0, 2.0)));
}

// Rated three-phase tests: a star HV winding sees uhv/√3, a delta one uhv, each with ym; the
// short-circuit losses are those of the equivalent star resistance (Re z2, or Re z2 / 3 for an LV
// delta) at the rated LV current sn/(√3·ulv).
TEST(TransformerTestComputations, ThreePhaseNoLoadAndShortCircuitByHand) {
    const double uhv = 20e3, ulv = 400.0, sn = 160e3;
    const Complex z2(0.012, 0.04), ym(1e-7, -8e-7);
    for (const WindingPair& pair : winding_pairs) {
        const int clock = pair.clocks.front();
        SCOPED_TRACE(label(pair, clock));
        const double kr = pair.lambda0 * ulv / uhv;
        const bool delta_hv = std::string(pair.hv) == "D", delta_lv = std::string(pair.lv) == "d";
        ThreePhaseTransformer t = make(pair, clock, z2, ym, kr);

        const auto [p0, i0] = t.compute_open_circuit_parameters(uhv, ulv, sn);
        const double windings = delta_hv ? 3.0 : 1.0;
        EXPECT_NEAR(p0, windings * ym.real() * uhv * uhv, 1e-9 * p0);
        EXPECT_NEAR(i0, windings * std::abs(ym) * uhv * uhv / sn, 1e-9 * i0);
        expect_close(potential(t, 1), std::polar(uhv / sqrt3, -2 * pi / 3));
        expect_close(potential(t, t.port_count() - (delta_lv ? 3 : 4)),
                     std::polar(ulv / sqrt3, -clock * pi / 6));

        const double z_star = delta_lv ? std::abs(z2) / 3 : std::abs(z2);
        const double r_star = delta_lv ? z2.real() / 3 : z2.real();
        t.update_transformer_parameters(z2, 0.0, kr);
        const auto [psc, vsc] = t.compute_short_circuit_parameters(uhv, ulv, sn);
        EXPECT_DOUBLE_EQ(vsc, z_star * sn / (ulv * ulv));
        const double rated_lv = sn / (sqrt3 * ulv);
        EXPECT_NEAR(psc, 3 * rated_lv * rated_lv * r_star, 1e-9 * psc);
        for (const Port* p : t.side2) EXPECT_EQ(p->connection->get_potential(), Complex(0.0, 0.0));
    }
}

// The test potentials are the written sets to the last bit, so a caller can compare them: HV
// m, m·a, m·a², LV (m·e, (m·a)·e, (m·a²)·e) with a and a² the double values below and
// e = e^(-j·clock·π/6); after the short-circuit test every LV node holds +0 in both parts.
TEST(TransformerTestComputations, ThreePhaseTestPotentialsAreExactlyTheBalancedSets) {
    const Complex a(-0.4999999999999998, -0.8660254037844387);
    const Complex a2(-0.5000000000000004, 0.8660254037844384);
    const double root3 = 1.7320508075688772, uhv = 20e3, ulv = 230.0, sn = 100e3;
    auto expect_bits = [](const Complex& got, const Complex& want) {
        EXPECT_EQ(got.real(), want.real());
        EXPECT_EQ(got.imag(), want.imag());
        EXPECT_EQ(std::signbit(got.real()), std::signbit(want.real()));
        EXPECT_EQ(std::signbit(got.imag()), std::signbit(want.imag()));
    };
    // Dy and Dz, 3 HV and 4 LV ports both, take every realisable clock between them.
    for (const WindingPair& pair : winding_pairs) {
        if (std::string(pair.hv) != "D" || std::string(pair.lv) == "d") continue;
        for (int clock : pair.clocks) {
            SCOPED_TRACE(label(pair, clock));
            ThreePhaseTransformer t =
                make(pair, clock, Complex(0.01, 0.04), Complex(1e-7, -1e-6), 0.01);
            t.compute_open_circuit_parameters(uhv, ulv, sn);
            const double hv = uhv / root3, lv = ulv / root3;
            const Complex e = std::exp(Complex(0.0, -clock * pi / 6));
            const std::vector<Complex> expected = {Complex(hv, 0.0), hv * a,        hv * a2,
                                                   lv * e,           (lv * a) * e, (lv * a2) * e,
                                                   Complex(0.0, 0.0)};
            for (int port = 0; port < 7; ++port) expect_bits(potential(t, port), expected[port]);

            t.compute_short_circuit_parameters(uhv, ulv, sn);
            for (int port = 3; port < 7; ++port) expect_bits(potential(t, port), Complex(0.0, 0.0));
        }
    }
}

// --- parameters, tape and binding ----------------------------------------------------------

TEST(TransformerParameters, CollectedInOrderAndUpdatedThroughABoundSolver) {
    SingleTransformer t(Complex(1.0, 2.0), Complex(3.0, 4.0), Complex(5.0, 6.0));
    std::vector<double> collected;
    t.collect_parameters(collected);
    EXPECT_EQ(collected, (std::vector<double>{1, 2, 3, 4, 5, 6}));

    t.update_transformer_parameters(Complex(0.1, 0.2), Complex(0.0, -1e-3), Complex(0.5, 0.0));
    EXPECT_EQ(t.z2.get(), Complex(0.1, 0.2));
    set_potentials(t, {Complex(230.0, 0.0), 0.0, Complex(110.0, 3.0), 0.0});
    TapeCheck tape({&t});
    EXPECT_EQ(tape.parameters.size(), 6);
    t.update_transformer_parameters(Complex(0.2, 0.4), Complex(0.0, -2e-3), Complex(0.25, 0.1));
    EXPECT_EQ(tape.parameters, (Eigen::VectorXd(6) << 0.2, 0.4, 0.0, -2e-3, 0.25, 0.1).finished());
    tape.evaluate();
    tape.expect_currents_agree();

    // The no-load test writes the bound node potentials as well.
    t.compute_open_circuit_parameters(400.0, 100.0, 1e3);
    EXPECT_EQ(tape.variables[0], 400.0);
    EXPECT_EQ(potential(t, 0), Complex(400.0, 0.0));
}

TEST(TransformerTape, RecordedCurrentsEqualThePlainOnes) {
    SingleTransformer single(Complex(0.1, 0.3), Complex(1e-3, -4e-3), std::polar(0.5, 0.2));
    set_potentials(single, {scattered[0], scattered[3], scattered[4], scattered[5]});
    CenterTransformer center(Complex(0.02, 0.05), Complex(1e-3, -4e-3), 0.5);
    set_potentials(center, {scattered[0], scattered[3], scattered[4], scattered[5], scattered[7]});
    {
        TapeCheck tape({&single, &center});
        tape.expect_currents_agree();
    }
    for (const WindingPair& pair : winding_pairs) {
        for (int clock : pair.clocks) {
            SCOPED_TRACE(label(pair, clock));
            ThreePhaseTransformer t = make(pair, clock, Complex(0.01, 0.05), Complex(1e-4, -1e-3), 0.02);
            set_potentials(t, std::vector<Complex>(scattered.begin(), scattered.begin() + t.port_count()));
            TapeCheck tape({&t});
            tape.expect_currents_agree();
        }
    }
}

// --- refusals ------------------------------------------------------------------------------

// Winding codes first, then port counts, then the clock.
TEST(ThreePhaseTransformer, BadWindingsPortCountsAndClocksAreRefused) {
    struct Case {
        int n1, n2;
        const char* whv;
        const char* wlv;
        int clock;
        std::string message;
    };
    const std::vector<Case> cases = {
        {4, 4, "YN", "y", 0, "Bad HV winding: YN"},
        {3, 4, "d", "y", 0, "Bad HV winding: d"},
        {4, 4, "", "q", 0, "Bad HV winding: "},  // the HV code is checked first
        {4, 4, "Y", "y ", 0, "Bad LV winding: y "},
        {4, 3, "Y", "D", 0, "Bad LV winding: D"},
        {-1, 4, "X", "y", 0, "Bad HV winding: X"},
        {3, 4, "D", "yn", 3, "Bad LV winding: yn"},
        {3, 3, "Y", "d", 0, "The HV side has 3 ports where winding Y needs 4"},
        {4, 3, "D", "d", 0, "The HV side has 4 ports where winding D needs 3"},
        {3, 3, "D", "z", 0, "The LV side has 3 ports where winding z needs 4"},
        {3, -2, "D", "d", 0, "The LV side has -2 ports where winding d needs 3"},
        {4, 4, "D", "y", 3, "The HV side has 4 ports where winding D needs 3"},
        {3, 4, "D", "y", 3,
         "Clock 3 is not realisable by a Dy transformer: it takes clocks 1, 5, 7, 11"},
        {4, 3, "Y", "d", 12,
         "Clock 12 is not realisable by a Yd transformer: it takes clocks 1, 5, 7, 11"},
        {3, 3, "D", "d", 1,
         "Clock 1 is not realisable by a Dd transformer: it takes clocks 0, 2, 4, 6, 8, 10"},
    };
    for (const Case& c : cases) {
        try {
            ThreePhaseTransformer t(c.n1, c.n2, c.whv, c.wlv, Complex(0.1, 0.1), 0.0, 1.0,
                                    c.clock);
            ADD_FAILURE() << "accepted " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(TransformerSweeps, OnlyTheSinglePhaseTransformerHasSteps) {
    const std::string message = "2 No backward-forward method has been defined for transformers yet.";
    CenterTransformer center(Complex(0.1, 0.1), 0.0, 1.0);
    ThreePhaseTransformer three(3, 4, "D", "y", Complex(0.1, 0.1), 0.0, 1.0, 11);
    for (Element* e : std::vector<Element*>{&center, &three}) {
        try {
            e->backward_step();
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_EQ(e->forward_step(), 0.0);
    }
}

}  // namespace
}  // namespace meshvolt
