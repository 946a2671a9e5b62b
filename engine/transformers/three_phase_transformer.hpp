// Three-phase two-winding transformer of any usual vector group: HV winding in delta ("D") or star
// ("Y"), LV winding in delta ("d"), star ("y") or zigzag ("z"), and a clock number that the pair
// realises: the LV voltages lag the HV ones by clock·30°.
//
// Ports: side 1 = HV a, b, c (and the HV neutral for "Y"), side 2 = LV a, b, c (and the LV
// neutral for "y" and "z").
//
// The vector group is resolved once, at construction, into six constant real matrices and an
// orientation o = ±1; the current law is then the same products for every group:
//     U1 = Whv·V1,  U2 = Wlv·V2                      winding voltages from the port potentials
//     J2 = (o / z2)·(U2 - kr·Cv·U1)                  LV winding currents, kr = Re k
//     J1 = ym·U1 + kr·Ci·J2                          HV winding currents
//     I1[0..2] = Hhv·J1,  I2[0..2] = Hlv·J2           port currents; a neutral port carries
//                                                    minus the sum of its side's phase currents
// (matrix_times and scaled_matrix_times of model/tape_arithmetic.hpp), with P the cyclic shift
// (xa, xb, xc) -> (xb, xc, xa) and N = phase_to_neutral(), the 3 x 4 phase-to-neutral matrix:
//     "Y": Whv = N, Hhv = I.   "D": Whv = I - P, Hhv = I - Pᵀ for clocks 0, 4, 5, 6, 10, 11,
//                                   Whv = I - Pᵀ, Hhv = I - P otherwise.
//     o = -1 for clocks 4..8, +1 otherwise; for "y" negated again at clocks 2, 4, 8, 10.
//     "d": Wlv = I - P, Hlv = o(I - Pᵀ) for clocks 0, 1, 2, 6, 7, 8, else Wlv = I - Pᵀ,
//          Hlv = o(I - P);                                   Cv = oI, Ci = -I
//     "y": Wlv = P·N, Hlv = oPᵀ at 2, 8; Wlv = Pᵀ·N, Hlv = oP at 4, 10; else Wlv = N, Hlv = oI;
//                                                            Cv = oI, Ci = -I
//     "z": Wlv = N, Hlv = oI; Cv = o(I - Pᵀ), Ci = -(I - P) for clocks 0, 1, 2, 6, 7, 8, else
//          Cv = o(I - P), Ci = -(I - Pᵀ)
// Each current matrix is the transpose of the part of its winding matrix that acts on the phases.
//
// No sweep steps (the backward step throws).
#pragma once

#include <array>
#include <string>

#include "transformers/transformer_base.hpp"

namespace meshvolt {

class ThreePhaseTransformer final : public Transformer<ThreePhaseTransformer> {
  public:
    // Refuses a winding code outside the tables ("Bad HV winding: " or "Bad LV winding: " and the
    // code, the HV code first), then port counts that do not match the codes (3 for "D" and "d",
    // 4 for "Y", "y" and "z"), then a clock that the pair does not realise: Dd, Yy and Dz take
    // 0, 2, 4, 6, 8, 10, and Dy, Yd and Yz take 1, 5, 7, 11 ("Clock 3 is not realisable by a Dy
    // transformer: it takes clocks 1, 5, 7, 11"). All refusals are std::runtime_error. k is real;
    // it is stored as k + 0j.
    ThreePhaseTransformer(int n1, int n2, const std::string& whv, const std::string& wlv,
                          const Complex& z2_value, const Complex& ym_value, double k_value,
                          int clock);
    ~ThreePhaseTransformer() override;

    // No-load test: balanced positive-sequence phase voltages uhv/√3 on the HV phases and
    // ulv/√3·e^(-j·clock·π/6) on the LV phases, the neutrals at 0; the rated current is that of
    // a phase, sn/(√3·uhv).
    void write_no_load_potentials(double uhv, double ulv);
    double rated_current(double uhv, double sn) const;
    // Short-circuit test: vsc = zk·sn/ulv² with zk = |z2| (|z2|/3 for an LV delta, its
    // equivalent star impedance), HV phases at uhv·vsc/√3 in positive sequence, LV at 0.
    double short_circuit_impedance() const;
    void write_short_circuit_potentials(double uhv, double vsc);

    template <class Reading>
    void write_currents();

    Eigen::Matrix3d hv_current_matrix;
    Eigen::MatrixXd hv_winding_matrix;
    Eigen::Matrix3d lv_current_matrix;
    Eigen::Matrix3d voltage_coupling_matrix;
    Eigen::MatrixXd lv_winding_matrix;
    Eigen::Matrix3d current_coupling_matrix;
    double orientation;
    int clock;
    std::string whv;
    std::string wlv;

  private:
    // The given phase potentials on the phase ports of one side, 0 on a fourth port.
    static void set_side_potentials(std::vector<Port*>& side, const std::array<Complex, 3>& phases);
    // 0 on every port of one side.
    static void set_side_zero(std::vector<Port*>& side);
};

extern template class Transformer<ThreePhaseTransformer>;

}  // namespace meshvolt
