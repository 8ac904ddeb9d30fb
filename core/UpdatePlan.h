#pragma once

// What to do with a hub and an image before a frame of the update goes out:
// update it, pass it over as up to date, or refuse to downgrade it; and
// whether LED levels kept from an earlier attempt go back to it.

#include "UpdateFailure.h"
#include "UpdateOutcome.h"

#include <QString>

#include <cstdint>
#include <optional>

struct UpdatePlan {
    enum class Action {
        Update,
        SkipUpToDate,    // it runs the image's version: nothing is sent
        RefuseDowngrade, // it runs a newer version: nothing is sent
    };

    // What was found, and what was asked.
    struct Facts {
        SeenMode mode = SeenMode::Unknown;
        std::optional<std::uint32_t> version; // as the hub told it
        std::uint32_t imageVersion = 0;
        bool force = false;      // update it whatever it runs
        bool levelsKept = false; // levels of an earlier attempt wait for this hub
    };

    Action action = Action::Update;
    // A hub in its bootloader, or one running an older version.
    bool updateAvailable = false;
    // Kept levels go back through this update, though the hub is up to date.
    bool levelsGoBack = false;
    // Up to date or newer, updated all the same as asked.
    bool forced = false;

    static UpdatePlan decide(const Facts& facts);

    // RefuseDowngrade: the failure that says why; else none.
    UpdateFailure refusal() const { return m_refusal; }
    // The log line for levelsGoBack.
    static QString levelsGoBackNote();

private:
    UpdateFailure m_refusal;
};
