# Loaded into an application whose console is another interpreter reached
# through its "console" command (Tk's own console, or the package's): the
# console procedures the package evaluates here are handed over to it.
if {[info commands console] ne ""} {
    proc tkConsoleOutput {ch text} {
        if {[catch {console eval [list tkConsoleOutput $ch $text]}]} {
            # Tk's console has its own output procedure.
            catch {console eval [list ::tk::ConsoleOutput $ch $text]}
        }
    }
    proc tkConsoleInput {} {
        unset -nocomplain ::consoleCmdLine
        if {![catch {console eval {tkConsoleInput; set ::consoleCmdLine}} line]} {
            set ::consoleCmdLine $line
        }
    }
    proc tkConsoleXY {x y} {
        catch {console eval [list tkConsoleXY $x $y]}
    }
    proc clear {} {
        catch {console eval clear}
    }
}
