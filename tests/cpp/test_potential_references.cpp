// Every part of the network that conductors join needs a potential reference, and a transformer
// separates its two sides: the parts a network falls into, the references that fix them (a
// PotentialRef's grounded node reached through an element, a DeltaPotentialRef), and Newton's
// refusal, before any factorisation, of an LV side whose only tie to earth is a Ground.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "feeder_builders.hpp"
#include "loads/admittance_load.hpp"
#include "model/line.hpp"
#include "model/potential_ref.hpp"
#include "model/switch.hpp"
#include "model/voltage_source.hpp"
#include "solvers/potential_reference_check.hpp"
#include "transformers/center_transformer.hpp"
#include "transformers/single_transformer.hpp"
#include "transformers/single_voltage_regulator.hpp"
#include "transformers/three_phase_transformer.hpp"

namespace meshvolt {
namespace {

using namespace testing;

const double pi = std::acos(-1.0);
const double sqrt3 = std::sqrt(3.0);

std::string unreferenced(const std::string& node) {
    return "1 The part of the network at " + node +
           " has no potential reference: join one of its nodes to a CyPotentialRef (a CyGround "
           "alone fixes nothing). ";
}

// What check_potential_references says about a network: its message, or "" when it passes.
std::string verdict(const Feeder& f) {
    ElectricalNetwork network(f.elements);
    try {
        check_potential_references(network, first_unreferenced_node(network));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// ---------------------------------------------------------------------------------------------
// Small networks whose parts and references are read off the drawing. A single-phase source of
// 230 V comes first; its two ports are nodes 0 (phase) and 1 (neutral) of the network.

TEST(PotentialReferenceCheck, FindsThePartsAndTheirReferences) {
    const Complex u = 230.0, z(0.1, 0.05), y(0.02, -0.01);
    const Complex start[] = {230.0, 0.0};
    struct Case {
        const char* name;
        std::function<void(Feeder&)> build;
        std::string message;
    };
    // A source (element 0) whose neutral is referenced (element 1), a line or switch (element 2)
    // from its phase to a bus (element 3) whose node 2 carries a load (element 4) back to the
    // source's neutral.
    const auto fed_through = [&](Feeder& f, Branch& path) {
        Element* source = f.elements[0];
        auto& bus = f.add<Bus>(1, start);
        path.connect_side(*source, {{0, 0}}, true);
        path.connect_side(bus, {{0, 0}}, false);
        auto& load = f.add<AdmittanceLoad>(2, &y);
        attach(bus, load, {0});
        source->connect(load, {{1, 1}});
    };
    const auto referenced_source = [&](Feeder& f) {
        auto& source = f.add<VoltageSource>(2, &u);
        attach(source, f.add<PotentialRef>(), {1});
    };
    const std::vector<Case> cases = {
        {"a line carries the reference on",
         [&](Feeder& f) {
             referenced_source(f);
             fed_through(f, f.add<SimplifiedLine>(1, &z));
         },
         ""},
        {"so does a closed switch",
         [&](Feeder& f) {
             referenced_source(f);
             fed_through(f, f.add<Switch>(1));
         },
         ""},
        // The open switch joins nothing, but the load ties node 2 to the grounded neutral.
        {"a load whose return is referenced fixes what lies beyond an open switch",
         [&](Feeder& f) {
             referenced_source(f);
             fed_through(f, f.add<OpenSwitch>(1));
         },
         ""},
        // Beyond the open switch only a Ground (element 5) holds the load's return: the part of
        // node 2 (first held by the bus, element 3) and node 3 is free.
        {"an open switch cuts off a part earthed through a Ground only",
         [&](Feeder& f) {
             referenced_source(f);
             auto& open = f.add<OpenSwitch>(1);
             auto& bus = f.add<Bus>(2, start);
             open.connect_side(*f.elements[0], {{0, 0}}, true);
             open.connect_side(bus, {{0, 0}}, false);
             attach(bus, f.add<AdmittanceLoad>(2, &y), {0, 1});
             attach(bus, f.add<Ground>(), {1});
         },
         unreferenced("node 2 (port 0 of element 3 (CyBus))")},
        {"a source whose neutral sits on a Ground only",
         [&](Feeder& f) {
             auto& source = f.add<VoltageSource>(2, &u);
             attach(source, f.add<Ground>(), {1});
             attach(source, f.add<AdmittanceLoad>(2, &y), {0, 1});
         },
         unreferenced("node 0 (port 0 of element 0 (CyVoltageSource))")},
        {"a delta source fixed by the sum of its potentials",
         [&](Feeder& f) {
             const std::vector<Complex> pair = {400.0, std::polar(400.0, -2 * pi / 3)};
             auto& source = f.add<DeltaVoltageSource>(3, pair.data());
             attach(source, f.add<DeltaPotentialRef>(3), {0, 1, 2});
         },
         ""},
        // No element's laws read the second port of the bus: its node has no Jacobian entry,
        // which the structural test of the Jacobian reports; a Ground there changes nothing.
        {"a bus port that only a Ground holds is left to the structural test",
         [&](Feeder& f) {
             referenced_source(f);
             auto& bus = f.add<Bus>(2, start);
             attach(*f.elements[0], bus, {0});
             attach(bus, f.add<Ground>(), {1});
         },
         ""},
        // The regulator's output b is its input b: one part on both sides.
        {"a regulator's sides share a terminal",
         [&](Feeder& f) {
             referenced_source(f);
             auto& regulator = f.add<SingleVoltageRegulator>(
                 Complex(0.02, 0.05), Complex(1e-4, 0.0), 230.0, 0.1, 100.0, 0.0);
             regulator.connect_side(*f.elements[0], {{0, 0}, {1, 1}}, true);
             auto& bus = f.add<Bus>(1, start);
             regulator.connect_side(bus, {{0, 0}}, false);
             bus.connect(f.add<AdmittanceLoad>(2, &y), {{0, 0}});
             f.elements[0]->connect(*f.elements.back(), {{1, 1}});
         },
         ""},
    };
    for (const Case& c : cases) {
        Feeder f;
        c.build(f);
        EXPECT_EQ(verdict(f), c.message) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// A station: a source whose neutral is the HV reference, a transformer, and an LV bus started at
// the transformer's no-load voltages with a star load between its phases and its last port (the
// neutral of a star or zigzag winding, the centre tap, phase c of a delta). The LV side is tied to
// earth only as `Earth` says. Elements: source 0, HV reference 1, transformer 2, LV bus 3.

enum class Earth { ground_only, potential_ref, delta_ref, grounding_admittance };

struct Kind {
    const char* name;
    // The transformer and its LV no-load potentials, for an HV source of hv_ports ports.
    std::function<TransformerBase&(Feeder&)> make;
    int hv_ports;
    std::vector<Complex> hv_voltages;
    std::vector<Complex> lv_start;
};

std::vector<Kind> kinds() {
    const Complex z2(0.01, 0.04), ym(1e-5, -1e-4);
    const double uhv = 20e3, ulv = 400.0;
    // LV phase potentials ulv/√3 lagging the HV ones by clock·30°, and a neutral at 0.
    const auto lv_set = [&](int clock, int ports) {
        std::vector<Complex> v = balanced_set(std::polar(ulv / sqrt3, -clock * pi / 6), 1);
        v.resize(static_cast<std::size_t>(ports));
        return v;
    };
    const auto three_phase = [&](const char* name, const char* whv, const char* wlv, int clock,
                                 double lambda0) {
        const int n1 = whv == std::string("D") ? 3 : 4, n2 = wlv == std::string("d") ? 3 : 4;
        return Kind{name,
                    [=](Feeder& f) -> TransformerBase& {
                        return f.add<ThreePhaseTransformer>(n1, n2, whv, wlv, z2, ym,
                                                            lambda0 * ulv / uhv, clock);
                    },
                    4, balanced_set(uhv / sqrt3), lv_set(clock, n2)};
    };
    return {
        {"single-phase",
         [=](Feeder& f) -> TransformerBase& { return f.add<SingleTransformer>(z2, ym, 0.5); }, 2,
         {230.0}, {115.0, 0.0}},
        {"centre-tapped",
         [=](Feeder& f) -> TransformerBase& { return f.add<CenterTransformer>(z2, ym, 0.5); }, 2,
         {230.0}, {57.5, -57.5, 0.0}},
        three_phase("Dyn11", "D", "y", 11, 1 / sqrt3),
        three_phase("YNyn0", "Y", "y", 0, 1.0),
        three_phase("Dzn0", "D", "z", 0, 1.0 / 3),
        three_phase("YNzn11", "Y", "z", 11, 1 / sqrt3),
        three_phase("YNd11", "Y", "d", 11, sqrt3),
        three_phase("Dd0", "D", "d", 0, 1.0),
    };
}

struct Station {
    Feeder f;
    Bus* lv;

    Station(const Kind& kind, Earth earth) {
        auto& source = f.add<VoltageSource>(kind.hv_ports, kind.hv_voltages.data());
        attach(source, f.add<PotentialRef>(), {kind.hv_ports - 1});
        TransformerBase& transformer = kind.make(f);
        const int n2 = static_cast<int>(kind.lv_start.size());
        lv = &f.add<Bus>(n2, kind.lv_start.data());
        const int n1 = static_cast<int>(transformer.side1.size());
        transformer.connect_side(source, side_pairs(n1), true);
        transformer.connect_side(*lv, side_pairs(n2), false);
        const std::vector<Complex> loads(static_cast<std::size_t>(n2 - 1), Complex(0.5, -0.1));
        attach(*lv, f.add<AdmittanceLoad>(n2, loads.data()), all_ports(n2));
        const int last = n2 - 1;
        switch (earth) {
            case Earth::ground_only: attach(*lv, f.add<Ground>(), {last}); break;
            case Earth::potential_ref: attach(*lv, f.add<PotentialRef>(), {last}); break;
            case Earth::delta_ref: attach(*lv, f.add<DeltaPotentialRef>(n2), all_ports(n2)); break;
            case Earth::grounding_admittance: {
                // 2 Ω from the LV point to an earth electrode, itself the reference.
                const Complex zero = 0.0, electrode_admittance = 0.5;
                auto& electrode = f.add<Bus>(1, &zero);
                attach(electrode, f.add<PotentialRef>(), {0});
                auto& grounding = f.add<AdmittanceLoad>(2, &electrode_admittance);
                attach(*lv, grounding, {last});
                electrode.connect(grounding, {{0, 1}});
                break;
            }
        }
    }

    static PortPairs side_pairs(int n) {
        PortPairs pairs;
        for (int i = 0; i < n; ++i) pairs.push_back({i, i});
        return pairs;
    }
    static std::vector<int> all_ports(int n) {
        std::vector<int> ports;
        for (int i = 0; i < n; ++i) ports.push_back(i);
        return ports;
    }
};

std::vector<Complex> lv_potentials(const Bus& lv) {
    std::vector<Complex> v;
    for (int p = 0; p < lv.port_count(); ++p) v.push_back(potential(lv, p));
    return v;
}

// Whatever the vector group, the LV side tied to earth by a Ground alone has no reference: the
// Jacobian is singular, or rounding leaves it a tiny pivot and the LV potentials come out shifted
// by an arbitrary constant. Newton refuses it before factorising, naming the first LV node: the
// source's ports are nodes 0..hv_ports-1, the LV bus (element 3) holds the next one first.
TEST(PotentialReferenceCheck, NewtonRefusesAnLvSideEarthedByAGroundOnly) {
    for (const Kind& kind : kinds()) {
        for (Method method : {Method::newton, Method::goldstein}) {
            SCOPED_TRACE(std::string(kind.name) + ", " + method_name(method));
            Station s(kind, Earth::ground_only);
            ElectricalNetwork network(s.f.elements);
            auto solver = make_solver(method, network);
            EXPECT_EQ(error_message([&] { solver->solve_load_flow(20, 1e-9); }),
                      unreferenced("node " + std::to_string(kind.hv_ports) +
                                   " (port 0 of element 3 (CyBus))"));
            // Refused before the first step: the LV potentials are where they started.
            const std::vector<Complex> after = lv_potentials(*s.lv);
            for (std::size_t p = 0; p < after.size(); ++p)
                expect_close(after[p], kind.lv_start[p], absolute(0.0),
                             "LV port " + std::to_string(p));
            // Without an iteration to make there is no Jacobian to factorise, and no refusal.
            EXPECT_EQ(solver->solve_load_flow(0, 1e-9).first, 0);
        }
    }
}

// A solver keeps what the layout decides from one solve to the next, and works it out again once
// the layout has changed: a potential reference joined to the LV neutral after a refusal lifts it.
TEST(PotentialReferenceCheck, NewtonSeesAReferenceJoinedAfterARefusal) {
    const Kind kind = kinds().front();
    Station s(kind, Earth::ground_only);
    ElectricalNetwork network(s.f.elements);
    Newton solver(&network, false);
    const std::string refusal =
        unreferenced("node " + std::to_string(kind.hv_ports) + " (port 0 of element 3 (CyBus))");
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(20, 1e-9); }), refusal);
    EXPECT_EQ(error_message([&] { solver.solve_load_flow(20, 1e-9); }), refusal);
    PotentialRef lv_ref;
    s.lv->connect(lv_ref, {{s.lv->port_count() - 1, 0}});
    EXPECT_NE(error_message([&] { solver.solve_load_flow(20, 1e-9); }), refusal);
}

// Each way of tying the LV side to earth fixes it, and fixes only its offset: the LV voltages
// (the potentials less the last port's) are the same in every variant. The grounding admittance
// is the LV side's only tie to earth, so no current returns through it and it holds the last port
// at 0 V, as the potential reference does; the delta reference makes the LV potentials sum to 0.
TEST(PotentialReferenceCheck, EveryReferenceFixesTheLvSideAlike) {
    for (const Kind& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        std::vector<std::vector<Complex>> voltages;
        for (Earth earth : {Earth::potential_ref, Earth::delta_ref, Earth::grounding_admittance}) {
            Station s(kind, earth);
            ElectricalNetwork network(s.f.elements);
            Newton solver(&network, false);
            solve_to_convergence(solver, Method::newton);
            const std::vector<Complex> v = lv_potentials(*s.lv);
            Complex sum = 0.0;
            for (const Complex& x : v) sum += x;
            if (earth == Earth::delta_ref)
                expect_close(sum, 0.0, absolute(1e-9), "sum of the LV potentials");
            else
                expect_close(v.back(), 0.0, absolute(1e-8), "LV last port");
            std::vector<Complex> u;
            for (const Complex& x : v) u.push_back(x - v.back());
            voltages.push_back(u);
        }
        for (std::size_t variant = 1; variant < voltages.size(); ++variant)
            for (std::size_t p = 0; p < voltages[0].size(); ++p)
                expect_close(voltages[variant][p], voltages[0][p], absolute(1e-8),
                             "variant " + std::to_string(variant) + ", LV voltage " +
                                 std::to_string(p));
    }
}

}  // namespace
}  // namespace meshvolt
