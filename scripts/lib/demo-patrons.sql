-- The patron rows of the terminal-session demo (scripts/demo, and the
-- Windows main job of tools/windows/check.sh): the card's serial in hex is
-- the key R01B.
CREATE TABLE READER (
  R01B VARCHAR(61) NOT NULL PRIMARY KEY,  -- card number
  R02A VARCHAR(64),                       -- name
  R05D VARCHAR(16)                        -- valid until
) CHARACTER SET gbk;
INSERT INTO READER VALUES ('12345678', 'Ada Lovelace', '2027-06-30'),
                          ('0A0B0C0D', 'Alan Turing', '2026-12-31'),
                          ('CAFE0001', 'Grace Hopper', NULL);
