//! Sound-table resolution for the web bundle.
//!
//! The browser side gets sound tables as already-decoded data and asks one
//! question of them: which wave file does a sound kind play? The answer is
//! deterministic and follows the native library exactly: the first weighted
//! choice listed for the kind, with a zero wave id meaning "no wave".

use std::collections::HashMap;

/// One weighted wave choice of a sound kind.
#[derive(Debug, Clone, Copy, PartialEq)]
pub struct SoundEntry {
    /// File id of the wave; 0 stands for no wave.
    pub wave_did: u32,
    pub priority: f32,
    pub probability: f32,
    pub volume: f32,
}

impl SoundEntry {
    pub fn new(wave_did: u32, priority: f32, probability: f32, volume: f32) -> Self {
        SoundEntry {
            wave_did,
            priority,
            probability,
            volume,
        }
    }
}

/// A decoded sound table: each sound kind with its choices in stream order.
#[derive(Debug, Clone, Default, PartialEq)]
pub struct SoundTable {
    pub id: u32,
    pub sounds: HashMap<u32, Vec<SoundEntry>>,
}

impl SoundTable {
    pub fn new(id: u32) -> Self {
        SoundTable {
            id,
            sounds: HashMap::new(),
        }
    }

    /// Sets the choices of `sound_enum`, replacing any held before, as a
    /// later record with the same kind does in a table file.
    pub fn insert(&mut self, sound_enum: u32, entries: Vec<SoundEntry>) {
        self.sounds.insert(sound_enum, entries);
    }

    /// Resolves `sound_enum` to the wave of its first choice; exported to
    /// script code as `resolveSoundFirst`. None when the kind is unknown,
    /// has no choices, or its first choice has wave id 0. Later choices and
    /// the weights are never consulted.
    pub fn resolve_sound_first(&self, sound_enum: u32) -> Option<u32> {
        let entries = self.sounds.get(&sound_enum)?;
        let first = entries.first()?;
        match first.wave_did {
            0 => None,
            wave_did => Some(wave_did),
        }
    }

    /// Every kind that resolves to a wave, in ascending kind order.
    pub fn resolved_kinds(&self) -> Vec<(u32, u32)> {
        let mut kinds: Vec<(u32, u32)> = self
            .sounds
            .keys()
            .filter_map(|&kind| self.resolve_sound_first(kind).map(|wave| (kind, wave)))
            .collect();
        kinds.sort_unstable();
        kinds
    }
}

#[cfg(test)]
mod tests {
    use super::*;

    fn entry(wave_did: u32) -> SoundEntry {
        SoundEntry::new(wave_did, 0.0, 1.0, 1.0)
    }

    fn table() -> SoundTable {
        let mut table = SoundTable::new(0x2000_0001);
        table.insert(0x58, vec![entry(0x0A00_0262), entry(0x0A00_0263)]);
        table.insert(0x46, vec![]);
        table.insert(0x1F, vec![entry(0), entry(0x0A00_0519)]);
        table
    }

    #[test]
    fn first_choice_wins() {
        assert_eq!(table().resolve_sound_first(0x58), Some(0x0A00_0262));
    }

    #[test]
    fn unknown_kind_and_empty_list_resolve_to_none() {
        let table = table();
        assert_eq!(table.resolve_sound_first(0xFFFF_FFFF), None);
        assert_eq!(table.resolve_sound_first(0x46), None);
    }

    #[test]
    fn zero_first_wave_is_none_even_with_later_choices() {
        assert_eq!(table().resolve_sound_first(0x1F), None);
    }

    #[test]
    fn weights_do_not_take_part() {
        let mut table = SoundTable::new(1);
        table.insert(7, vec![SoundEntry::new(9, 5.0, 0.0, 0.0), entry(10)]);
        assert_eq!(table.resolve_sound_first(7), Some(9));
    }

    #[test]
    fn a_later_insert_replaces_the_choices() {
        let mut table = table();
        table.insert(0x58, vec![entry(0x0A00_0274)]);
        assert_eq!(table.resolve_sound_first(0x58), Some(0x0A00_0274));
    }

    #[test]
    fn resolved_kinds_lists_only_kinds_with_a_wave() {
        assert_eq!(table().resolved_kinds(), vec![(0x58, 0x0A00_0262)]);
    }
}
