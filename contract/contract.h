/*
 * contract.h - kelvo's contract with everything that speaks to it: the
 * objects and their names, the value texts and their limits, the
 * defaults, what a button does, the control commands and their checks,
 * the faults, the plant's action and the clock's two forms.
 *
 * The daemon and every face take these from here, so that a rule is
 * written once and no two places can disagree.  Everything here is pure:
 * no I/O, no threads, no state that changes; a function's answer depends
 * on its arguments alone, which is what lets a face predict the daemon.
 */
#ifndef KELVO_CONTRACT_H
#define KELVO_CONTRACT_H

#include <stddef.h>

/* The PPS objects, below $PPS_ROOT on Linux. */
#define KC_DIR		"/pps/kelvo"
#define KC_OUTPUTS	KC_DIR "/outputs"	/* the state, every tick */
#define KC_INPUTS	KC_DIR "/inputs"	/* button presses */
#define KC_CONTROL	KC_DIR "/control"	/* batches that drive the world */
#define KC_SIM		KC_DIR "/sim"		/* the answer to each batch */

/* The objects' first lines, and the two states of the simulation. */
#define KC_OUTPUTS_HEAD	"@outputs\n"
#define KC_INPUTS_HEAD	"@inputs\n"
#define KC_CONTROL_HEAD	"@control\n"
#define KC_SIM_HEAD	"@sim\n"
#define KC_RUNNING	"running"
#define KC_PAUSED	"paused"

/*
 * The published attributes, in the order kelvo publishes them: KC_ATTRS
 * of them in the classic profile, which the modern one follows with its
 * own, up to KC_ATTRS_MODERN (see the profiles below).
 */
enum { ATTR_MODE, ATTR_FAN, ATTR_SETPOINT, ATTR_IN_PRECISE, ATTR_IN,
    ATTR_OUT_PRECISE, ATTR_OUT, ATTR_SYS, ATTR_TIME_PRECISE, ATTR_TIME,
    KC_ATTRS,
    ATTR_LOW = KC_ATTRS, ATTR_HIGH, ATTR_PRESET, ATTR_CALL,
    ATTR_HUMIDITY_PRECISE, ATTR_HUMIDITY, KC_ATTRS_MODERN };
extern const char *const kc_attr_name[KC_ATTRS_MODERN];	/* "ts_mode", ... */
#define KC_VALUE_LEN	64	/* one published value, NUL included */
#define KC_TEXT_LEN	512	/* the outputs object's text, NUL included */

/* The value texts, as enums; 0 is a value that is missing or not one. */
enum { MODE_UNKNOWN, MODE_OFF, MODE_HEAT, MODE_COOL, MODE_AUTO };
enum { FAN_UNKNOWN, FAN_AUTO, FAN_ON };
enum { SYS_UNKNOWN, SYS_OFF, SYS_ON };

/*
 * The profiles of the thermostat.  classic is three modes and one set
 * point, as kelvo always was; modern adds MODE_AUTO with a band of two
 * set points kept KC_DEADBAND apart, the presets, what the thermostat
 * calls for and the room's humidity.  A document without pm_profile is
 * classic, and a classic kelvo publishes and stores only what it always
 * did; a mode AUTO means nothing to it (it is a text not a mode there).
 */
enum { KC_PROFILE_CLASSIC, KC_PROFILE_MODERN };
const char *kc_profile_name(int profile);	/* "classic", "modern" */
/* KC_PROFILE_* of exactly its name, -1 for anything else. */
int	 kc_profile_of(const char *s);
/* The attributes a profile publishes: KC_ATTRS or KC_ATTRS_MODERN. */
int	 kc_attrs(int profile);

/* What the thermostat calls for, td_call. */
enum { CALL_UNKNOWN, CALL_NONE, CALL_HEAT, CALL_COOL };
const char *kc_call_name(int call);	/* "NONE", "HEAT", "COOL"; "?" */
int	 kc_call_exact(const char *s);	/* CALL_*; 0 for no such text */
int	 kc_call_of(const char *s);	/* the same in any case */

/* The presets, ts_preset: each a set point and a band. */
enum { PRESET_NONE, PRESET_HOME, PRESET_AWAY, PRESET_SLEEP, KC_PRESETS };
struct kc_preset {
	const char	*name;		/* "none", "home", "away", "sleep" */
	int		 setpoint;
	int		 low;
	int		 high;
};
extern const struct kc_preset kc_presets[KC_PRESETS];
/* PRESET_* of exactly its name ("none" included), -1 for anything else. */
int	 kc_preset_of(const char *s);

/* The texts kelvo writes ("HEAT", "AUTO", "ON"); "?" for unknown. */
const char *kc_mode_name(int mode);
const char *kc_fan_name(int fan);
const char *kc_sys_name(int sys);
/* The value a text names, in any letter case, blanks around it allowed. */
int	 kc_mode_of(const char *s);	/* the classic modes: not AUTO */
int	 kc_mode_of_as(int profile, const char *s);
int	 kc_fan_of(const char *s);
int	 kc_sys_of(const char *s);
/*
 * The same, of the exact text kelvo writes only: how the daemon reads.
 * AUTO reads as MODE_AUTO in either profile; a classic thermostat takes
 * it as it takes any text that is no mode of its own.
 */
int	 kc_mode_exact(const char *s);
int	 kc_fan_exact(const char *s);

/*
 * The values a reset leaves (the store's default document, which a test
 * keeps alike): the settings, outputs and parameters by name; NULL for a
 * name with none.
 */
const char *kc_default(const char *name);

/* Limits. */
#define KC_SETPOINT_MIN	60	/* the buttons keep the set point here */
#define KC_SETPOINT_MAX	90
#define KC_TEMP_MAX	1000	/* |any temperature| kelvo takes */
#define KC_DEADBAND	3	/* ts_temp_high - ts_temp_low, at least */
#define KC_HUMIDITY_MIN	10	/* td_humidity_, in % */
#define KC_HUMIDITY_MAX	90
/* A limit's digits as a string literal: KC_STR(KC_SETPOINT_MIN) "60". */
#define KC_STR_(x)	#x
#define KC_STR(x)	KC_STR_(x)

/*
 * The buttons, btn1 to btn4 in the inputs object.  kc_press is what one
 * press does to the settings: the daemon applies it to its document and a
 * face uses it to know what to wait for.  A setting that is missing
 * stays missing (has_* false); a mode or fan that is no known text is
 * taken as the daemon always took it (mode: to OFF, fan: to ON).
 */
enum { BTN_MODE = 1, BTN_FAN, BTN_UP, BTN_DOWN };
#define KC_BUTTONS	4
struct kc_settings {
	bool	 has_mode;
	int	 mode;		/* MODE_*; MODE_UNKNOWN: a text not a mode */
	bool	 has_fan;
	int	 fan;		/* FAN_* */
	bool	 has_setpoint;
	int	 setpoint;
};
void	 kc_press(struct kc_settings *s, int btn);
/*
 * A press in the modern profile: its mode button goes on from COOL to
 * AUTO, and in AUTO the up and down buttons move the band instead of the
 * set point, both ends by one, the band stopping whole at 60 or 90.
 */
struct kc_band {
	bool	 has_band;	/* low and high read */
	int	 low;
	int	 high;
};
void	 kc_press_modern(struct kc_settings *s, struct kc_band *b, int btn);
/* "btn1".."btn4" for BTN_*, NULL for none. */
const char *kc_button_attr(int btn);
/* BTN_* of exactly "btn1".."btn4", 0 for anything else. */
int	 kc_button_of_attr(const char *name);
/* A button's name on every face: "mode", "fan", "up", "down". */
const char *kc_button_name(int btn);
/* BTN_* of a face's name, 0 when none; with anycase in any case. */
int	 kc_button_of(const char *s, bool anycase);

/*
 * The plant's action, one rule for every face: the first that holds of
 * NONE when a value it needs is missing or no text of its kind; OFF when
 * the mode is OFF; HEATING or COOLING when td_sys is ON in HEAT or COOL;
 * FAN when td_sys is OFF and the fan ON; IDLE when td_sys is OFF on AUTO.
 */
enum { PLANT_NONE, PLANT_OFF, PLANT_HEATING, PLANT_COOLING, PLANT_FAN,
    PLANT_IDLE };
int	 kc_plant(int mode, int sys, int fan);
/*
 * The same in the modern profile, where AUTO heats or cools as td_call
 * says: HEATING or COOLING when td_sys is ON (NONE when the call is
 * neither), FAN or IDLE when it is OFF; the other modes as kc_plant.
 */
int	 kc_plant_call(int mode, int sys, int fan, int call);
/* "off", "heating", "cooling", "fan", "idle"; NULL for PLANT_NONE. */
const char *kc_plant_name(int plant);

/*
 * The simulated clock is HHMM, 0000..2359.  Its published 12-hour text
 * keeps its historic form, noon reading "12:00a", since stored documents
 * and peers have it; the faces show the display form, "12:00 pm".
 */
bool	 kc_clock_valid(int hhmm);
/* HHMM of exactly four digits 0000..2359; -1 for anything else. */
int	 kc_clock_of(const char *s);
/* The minute of the day, 0..1439, of an HHMM text; -1 for none. */
int	 kc_minute_of(const char *s);
void	 kc_clock_text(int hhmm, char *out, size_t len);	/* "05:02p" */
void	 kc_clock_display(int hhmm, char *out, size_t len); /* "5:02 pm" */

/*
 * The control commands, name::value lines of a batch in the control
 * object.  kc_command_check says whether one is a command with a value
 * kelvo takes, and when not puts why into why; the daemon applies only
 * checked ones, and a face may check a batch before sending it.  The
 * values are exact texts: modes, fans and td_sys in upper case.
 */
enum { KC_CMD_STATE, KC_CMD_STEP, KC_CMD_INTERVAL, KC_CMD_MINUTES,
    KC_CMD_TIME, KC_CMD_TEMP, KC_CMD_SYS, KC_CMD_MODE, KC_CMD_FAN,
    KC_CMD_SETPOINT, KC_CMD_FAULT, KC_CMD_RESET, KC_CMD_PRESS, KC_CMD_ID,
    KC_CMD_PROFILE, KC_CMD_PRESET, KC_CMD_BAND, KC_CMD_CALL,
    KC_CMD_HUMIDITY };
/*
 * The JSON type a face takes each command's value as; a face takes no
 * id (its sender writes one), and press as an array of buttons, each a
 * press:: line of its own.
 */
enum { KC_JSON_TEXT, KC_JSON_WHOLE, KC_JSON_NUMBER, KC_JSON_FAULTS,
    KC_JSON_BUTTONS, KC_JSON_NONE };
struct kc_command {
	const char	*name;
	int		 kind;		/* KC_CMD_* */
	int		 json;		/* KC_JSON_* */
};
#define KC_COMMANDS	21
extern const struct kc_command kc_commands[KC_COMMANDS];
/* The command called name, NULL for none. */
const struct kc_command *kc_command_of(const char *name);
bool	 kc_command_check(const char *name, const char *value, char *why,
	    size_t len);
/*
 * The same in a profile (kc_command_check is the classic one): the
 * modern profile takes AUTO and its own names, which the classic one
 * refuses.  A batch is checked command by command in the profile its
 * commands before it leave.  ts_temp_low and ts_temp_high take 60..90
 * and a setting that would push the other end past that is refused: the
 * deadband's rule depends on the setting alone.
 */
bool	 kc_command_check_as(int profile, const char *name, const char *value,
	    char *why, size_t len);
#define KC_BATCH_MAX	64	/* commands in one batch */
/*
 * A batch's id: 1 to KC_ID_MAX of A-Z a-z 0-9 _ . -, at most one id::
 * line a batch.  The sim object repeats the id of the batch it answers
 * ("" for one without), so that a sender reads only its own answer.
 */
#define KC_ID_MAX	64
bool	 kc_id_valid(const char *id);
/*
 * The start of the error of a batch that kelvo applied but whose result
 * it could not publish: the reason follows.  Any other error is a
 * refusal, and nothing of that batch was applied.
 */
#define KC_UNPUBLISHED	"applied, but not published: "
/* Whether a sim object's error says the batch was applied all the same. */
bool	 kc_error_applied(const char *error);
#define KC_CONTROL_LEN	4096	/* the longest control text taken */
#define KC_WHY_LEN	256	/* why a batch was refused, NUL included */
#define KC_STEP_MAX	10080	/* ticks one step command may take: a week */
#define KC_INTERVAL_MAX	60000	/* real ms between ticks */
#define KC_MINUTES_MAX	1440	/* simulated minutes per tick: a day */
/*
 * The steps a face offers in whole ticks: the whole number of ticks
 * nearest to minutes at pm_minutes a tick (kelvo's default of 2 when that
 * is unknown, <= 0), at least one.  An hour at 7 minutes a tick is 9.
 */
int	 kc_ticks_for(int minutes, int pm_minutes);
/*
 * A face's target: ts_temp, ts_mode or ts_fan set to value as one batch,
 * the set point within the buttons' limits (KC_SETPOINT_MIN..MAX), as a
 * target outside them is no thermostat's.  false with why for anything
 * else, before anything is sent.  A mode may be AUTO: whether the
 * profile in force has it is kelvo's to answer.
 */
bool	 kc_target_check(const char *name, const char *value, char *why,
	    size_t len);
/* A whole number within lo..hi, as plain digits with an optional sign. */
bool	 kc_whole(const char *s, long lo, long hi, long *v);
/*
 * A plain decimal number: digits, sign, point and exponent only (no
 * blanks, hex, "inf" or "nan"), all of s, finite.
 */
bool	 kc_decimal(const char *s, double *v);
/* A temperature: a plain decimal number within +-KC_TEMP_MAX. */
bool	 kc_temperature(const char *s, float *v);

/* The faults a face can be tested against, as a set of bits. */
#define KC_FAULT_PLANT	1	/* the plant switches but has no effect */
#define KC_FAULT_SENSOR	2	/* the indoor sensor reads nothing */
#define KC_FAULT_SILENT	4	/* nothing is published */
#define KC_FAULT_ALL	7
#define KC_FAULTS	3
extern const char *const kc_fault_name[KC_FAULTS]; /* plant, sensor, silent */
/* KC_FAULT_* of a comma-separated list ("" none), or -1 saying why. */
int	 kc_fault_parse(const char *list, char *why, size_t len);
/* The comma-separated list of faults, "" for none. */
void	 kc_fault_text(int faults, char *out, size_t len);

#endif
