#include "UpdatePlan.h"

UpdatePlan UpdatePlan::decide(const Facts& facts) {
    UpdatePlan plan;
    const bool told = facts.version.has_value();
    const bool newer = told && *facts.version > facts.imageVersion;
    plan.updateAvailable =
        facts.mode == SeenMode::Bootloader || (told && *facts.version < facts.imageVersion);
    // Levels kept from an attempt whose write-back failed go back only through
    // an update: passing the hub over as up to date would strand them. A newer
    // hub is not downgraded for them.
    const bool upToDate = told && !plan.updateAvailable;
    plan.levelsGoBack = upToDate && !newer && facts.levelsKept;
    // A hub that did not tell its version is updated: the update itself asks
    // again and says what it finds.
    if (!upToDate || plan.levelsGoBack)
        return plan;
    if (facts.force) {
        plan.forced = true;
        return plan;
    }
    // Reflashing a hub that is up to date risks its calibration for nothing; a
    // newer one would lose firmware the image does not have.
    if (!newer) {
        plan.action = Action::SkipUpToDate;
        return plan;
    }
    plan.action = Action::RefuseDowngrade;
    plan.m_refusal.kind = UpdateFailure::Kind::NotDowngraded;
    plan.m_refusal.versionFound = facts.version;
    plan.m_refusal.versionWanted = facts.imageVersion;
    return plan;
}

QString UpdatePlan::levelsGoBackNote() {
    return QStringLiteral("LED levels kept from an earlier attempt wait for this hub: it is updated again to "
                          "give them back.");
}
