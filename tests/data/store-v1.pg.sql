-- The same five messages in velmox-server 1.0.0's PostgreSQL store (commit d517be7,
-- schema version 1): pg_dump --inserts --no-owner --no-privileges of it, without its
-- psql-only \restrict lines. tests/mail_test.cpp migrates it.
--
-- PostgreSQL database dump
--


-- Dumped from database version 15.20 (Debian 15.20-0+deb12u1)
-- Dumped by pg_dump version 15.20 (Debian 15.20-0+deb12u1)

SET statement_timeout = 0;
SET lock_timeout = 0;
SET idle_in_transaction_session_timeout = 0;
SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
SELECT pg_catalog.set_config('search_path', '', false);
SET check_function_bodies = false;
SET xmloption = content;
SET client_min_messages = warning;
SET row_security = off;

--
-- Name: velmox_english_stem; Type: TEXT SEARCH DICTIONARY; Schema: public; Owner: -
--

CREATE TEXT SEARCH DICTIONARY public.velmox_english_stem (
    TEMPLATE = pg_catalog.snowball,
    language = 'english' );


--
-- Name: velmox_english; Type: TEXT SEARCH CONFIGURATION; Schema: public; Owner: -
--

CREATE TEXT SEARCH CONFIGURATION public.velmox_english (
    PARSER = pg_catalog."default" );

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR asciiword WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR word WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR numword WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR email WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR url WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR host WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR sfloat WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR version WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR hword_numpart WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR hword_part WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR hword_asciipart WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR numhword WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR asciihword WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR hword WITH public.velmox_english_stem;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR url_path WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR file WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR "float" WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR "int" WITH simple;

ALTER TEXT SEARCH CONFIGURATION public.velmox_english
    ADD MAPPING FOR uint WITH simple;


SET default_tablespace = '';

SET default_table_access_method = heap;

--
-- Name: messages; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.messages (
    id bigint NOT NULL,
    ident text NOT NULL,
    folder text NOT NULL COLLATE pg_catalog."C",
    sender bytea NOT NULL,
    recipient bytea NOT NULL,
    subject bytea NOT NULL,
    body bytea NOT NULL,
    created bigint NOT NULL,
    saved bigint NOT NULL,
    words tsvector NOT NULL,
    stems tsvector NOT NULL,
    CONSTRAINT messages_ident_check CHECK ((length(ident) = 32))
);


--
-- Name: messages_id_seq; Type: SEQUENCE; Schema: public; Owner: -
--

ALTER TABLE public.messages ALTER COLUMN id ADD GENERATED ALWAYS AS IDENTITY (
    SEQUENCE NAME public.messages_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1
);


--
-- Name: velmox_schema; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.velmox_schema (
    version integer NOT NULL
);


--
-- Data for Name: messages; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.messages OVERRIDING SYSTEM VALUE VALUES (1, '0000000000000000000000000000a001', 'inbox', '\x6775657374403139322e302e322e39', '\x616e6e406578616d706c652e6f7267', '\x5768616c6520736f6e67', '\x54686520626c7565207768616c657320776572652073696e67696e670a616c6c206e696768742e', 1796841834866, 1796841834866, '''all'':8 ''blue'':4 ''night'':9 ''singing'':7 ''song'':2A ''the'':3 ''were'':6 ''whale'':1A ''whales'':5', '''all'':8 ''blue'':4 ''night'':9 ''sing'':7 ''song'':2A ''the'':3 ''were'':6 ''whale'':1A,5');
INSERT INTO public.messages OVERRIDING SYSTEM VALUE VALUES (2, '0000000000000000000000000000a002', 'inbox', '\x6775657374403139322e302e322e39', '\x', '\x4772c3bcc39f6520617573204bc3b66c6e20e29883', '\xc39c6ec3af63c3b664c3a92026203c746167733e202271756f74656422202773696e676c6527', 1796841834872, 1796841834872, '''aus'':2A ''grüße'':1A ''köln'':3A ''quoted'':6 ''single'':7 ''tags'':5 ''ünïcödé'':4', '''aus'':2A ''grüße'':1A ''köln'':3A ''quot'':6 ''singl'':7 ''tag'':5 ''ünïcödé'':4');
INSERT INTO public.messages OVERRIDING SYSTEM VALUE VALUES (3, '0000000000000000000000000000a003', 'notes', '\x6775657374403139322e302e322e39', '\x', '\x6279746573', '\x01fffe656e64206f66206279746573', 1796841834877, 1796841834877, '''bytes'':1A,4 ''end'':2 ''of'':3', '''byte'':1A,4 ''end'':2 ''of'':3');
INSERT INTO public.messages OVERRIDING SYSTEM VALUE VALUES (4, '0000000000000000000000000000a004', 'notes', '\x6775657374403139322e302e322e39', '\x', '\x', '\x', 1796841834882, 1796841834882, '', '');
INSERT INTO public.messages OVERRIDING SYSTEM VALUE VALUES (5, '0000000000000000000000000000a005', 'archive', '\x6775657374403139322e302e322e39', '\x', '\x536561726368696e67207468652061726368697665', '\x57652073656172636865642074686520617263686976652074776963652e', 1796841834887, 1796841834887, '''archive'':3A,7 ''searched'':5 ''searching'':1A ''the'':2A,6 ''twice'':8 ''we'':4', '''archiv'':3A,7 ''search'':1A,5 ''the'':2A,6 ''twice'':8 ''we'':4');


--
-- Data for Name: velmox_schema; Type: TABLE DATA; Schema: public; Owner: -
--

INSERT INTO public.velmox_schema VALUES (1);


--
-- Name: messages_id_seq; Type: SEQUENCE SET; Schema: public; Owner: -
--

SELECT pg_catalog.setval('public.messages_id_seq', 5, true);


--
-- Name: messages messages_ident_key; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.messages
    ADD CONSTRAINT messages_ident_key UNIQUE (ident);


--
-- Name: messages messages_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.messages
    ADD CONSTRAINT messages_pkey PRIMARY KEY (id);


--
-- Name: messages_by_created; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX messages_by_created ON public.messages USING btree (folder, created);


--
-- Name: messages_by_saved; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX messages_by_saved ON public.messages USING btree (folder, saved);


--
-- Name: messages_stems; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX messages_stems ON public.messages USING gin (stems);


--
-- Name: messages_words; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX messages_words ON public.messages USING gin (words);


--
-- PostgreSQL database dump complete
--


