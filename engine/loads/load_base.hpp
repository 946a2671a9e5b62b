// The base of every load: an element without unknowns or equations of its own whose port currents
// follow its port potentials and set-points, and which can report the currents inside it.
//
// Star loads (phases 0..n-2, neutral n-1) report the phase-port currents of their last plain-number
// computation; delta loads report their pair currents, recomputed from the present potentials.
#pragma once

#include "model/element.hpp"

namespace meshvolt {

class LoadBase : public Element {
  public:
    using Element::Element;
    ~LoadBase() override;

    // Writes the load's inner currents to out: one per phase (star) or per pair (delta).
    virtual void get_inner_currents(Complex* out) = 0;
    // How many values get_inner_currents writes: the room its caller must provide.
    virtual int inner_current_count() const = 0;

    Supply supply() const override { return Supply::load; }

  protected:
    // The star form: out[i] := current of port i for i = 0..n-2, as last computed in plain numbers.
    // Nothing is computed; with a single port nothing is written.
    void stored_phase_currents(Complex* out) const;
};

// Shared base of the loads; T is the concrete class.
template <class T>
class Load : public LoadBase {
  public:
    using LoadBase::LoadBase;
};

}  // namespace meshvolt
