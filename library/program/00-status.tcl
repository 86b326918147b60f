# Pause and abort hooks of long operations.  The package evaluates zarnPause
# when the run status is 2 and zarnAbort when it is 3.
proc zarnPause {} {
    # Wait until someone changes the status away from "pause".
    while {[catch {zarn status} s] == 0 && $s == 2} {
        after 100
        update
    }
}
proc zarnAbort {} {
    return 3
}
