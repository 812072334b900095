// The verdict of `status`: healthy only when the running service has exactly one companion, in the console session.
#include "setup/status_judgement.h"

namespace {

std::string number(std::uint32_t value)
{
    return std::to_string(value);
}

} // namespace

status_judgement judge_status(const status_facts& facts)
{
    if (!facts.registered) {
        return {status_verdict::not_registered, exit_not_registered, "not registered: OrvaneService is not installed"};
    }
    // Before the state, which a failed query left unread.
    if (facts.listing_error != 0) {
        return {status_verdict::unknown, exit_unknown,
                "unknown: the state of OrvaneService or its companions could not be read (error " +
                    number(facts.listing_error) + "); look again"};
    }
    // Start and stop pending count as not running: in neither is a companion being kept.
    if (facts.service_state != service_state_running) {
        return {status_verdict::not_running, exit_not_running,
                "not running: OrvaneService is registered but not running, so no companion is kept"};
    }
    if (facts.companions.empty()) {
        if (facts.console_session == console_session_none) {
            return {status_verdict::no_companion, exit_no_companion,
                    "no companion: no session owns the console, and OrvaneService starts none until one does"};
        }
        return {status_verdict::no_companion, exit_no_companion,
                "no companion: OrvaneService runs but no Orvane.exe of its own does, not even after a second look; "
                "Orvane.exe may be missing, failing to start or ending at once"};
    }
    if (facts.companions.size() > 1) {
        return {status_verdict::several_companions, exit_several_companions,
                "several companions: " + number(static_cast<std::uint32_t>(facts.companions.size())) +
                    " Orvane.exe processes of OrvaneService run; it keeps only one"};
    }
    const companion_fact& companion = facts.companions.front();
    const std::string move_limit = number(session_move_limit_ms / 1000);
    if (!companion.session_known) {
        return {status_verdict::session_unreadable, exit_session_unreadable,
                "session unreadable: a companion runs, but its session cannot be read without elevation; run status "
                "from an elevated prompt or as SYSTEM"};
    }
    if (facts.console_session == console_session_none) {
        return {status_verdict::wrong_session, exit_wrong_session,
                "wrong session: the companion runs in session " + number(companion.session_id) +
                    " while no session owns the console; OrvaneService moves it when a session takes the console, "
                    "which takes up to " +
                    move_limit + " s"};
    }
    if (companion.session_id != facts.console_session) {
        return {status_verdict::wrong_session, exit_wrong_session,
                "wrong session: the companion runs in session " + number(companion.session_id) +
                    ", the console is session " + number(facts.console_session) +
                    "; OrvaneService moves it there, which takes up to " + move_limit + " s"};
    }
    return {status_verdict::healthy, exit_healthy, "healthy: the companion runs in the console session"};
}
