# Step timing for the scripts that run in steps, sourced by them:
#   step NAME      ends the step running (if any) and starts NAME
#   finish_steps   ends the last step and prints every step's duration
# A script may call finish_steps from an EXIT trap, so the durations of the
# steps that did run are printed when one fails too.
step_timings=()
step_current=""
step_started=$SECONDS
step_first_started=$SECONDS

end_step() {
    if [[ -n $step_current ]]; then
        step_timings+=("$(printf '%5ds  %s' $((SECONDS - step_started)) "$step_current")")
        step_current=""
    fi
}

step() {
    end_step
    step_current=$1
    step_started=$SECONDS
    echo "== $step_current"
}

finish_steps() {
    end_step
    echo "== step durations"
    printf '%s\n' "${step_timings[@]}"
    printf '%5ds  total\n' $((SECONDS - step_first_started))
}
